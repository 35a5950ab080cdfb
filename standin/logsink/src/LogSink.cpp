#include "standin/logsink/LogSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "PexaraAPI/PXACrypto.h"

namespace standin::logsink {

namespace {
int listenOn(const std::string& host, uint16_t port, uint16_t* bound) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (fd < 0 || ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  if (bound) *bound = ntohs(addr.sin_port);
  return fd;
}
}  // namespace

LogSink::LogSink(std::string host, uint16_t port) : host_(std::move(host)) {
  listenFd_ = listenOn(host_, port, &port_);
  if (listenFd_ < 0) throw std::runtime_error("logsink: cannot listen on " + host_);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

LogSink::~LogSink() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  uint64_t one = 1;
  if (::write(stopFd_, &one, sizeof(one)) < 0) {
  }
  acceptThread_.join();
  closeConnections();
  for (auto& t : clients_) t.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  ::close(stopFd_);
  ::close(wakeFd_);
}

void LogSink::setSwitches(const Switches& s) {
  std::lock_guard lock(mutex_);
  switches_ = s;
  // Refusing means no listener at all, so connects fail at once; the port is taken again after.
  if (s.refuseConnections && listenFd_ >= 0) {
    ::shutdown(listenFd_, SHUT_RDWR);
    ::close(listenFd_);
    listenFd_ = -1;
  } else if (!s.refuseConnections && listenFd_ < 0) {
    listenFd_ = listenOn(host_, port_, nullptr);
  }
  uint64_t one = 1;
  if (::write(wakeFd_, &one, sizeof(one)) < 0) {
  }
}

std::vector<Line> LogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> LogSink::texts() const {
  std::vector<std::string> out;
  for (const auto& l : lines()) out.push_back(l.text);
  return out;
}

int LogSink::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void LogSink::closeConnections() {
  std::lock_guard lock(mutex_);
  // shutdown wakes the reader, which closes the descriptor itself.
  for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
}

bool LogSink::waitForLines(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
}

bool LogSink::waitForConnections(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return connections_ >= count; });
}

void LogSink::acceptLoop() {
  for (;;) {
    int listenFd;
    {
      std::lock_guard lock(mutex_);
      listenFd = listenFd_;
    }
    pollfd fds[3] = {{stopFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {listenFd, POLLIN, 0}};
    if (::poll(fds, listenFd >= 0 ? 3 : 2, -1) < 0) continue;
    if (fds[0].revents) return;
    if (fds[1].revents) {
      uint64_t v;
      if (::read(wakeFd_, &v, sizeof(v)) < 0) {
      }
      continue;
    }
    std::lock_guard lock(mutex_);
    if (listenFd != listenFd_) continue;  // replaced while polling
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (stopping_) {
      ::close(fd);
      continue;
    }
    int number = ++connections_;
    open_.push_back(fd);
    changed_.notify_all();
    clients_.emplace_back([this, fd, number] { serve(fd, number); });
  }
}

void LogSink::serve(int fd, int number) {
  std::string buffer;
  size_t total = 0;
  for (;;) {
    Switches s;
    {
      std::lock_guard lock(mutex_);
      s = switches_;
    }
    size_t want = s.readDelay.count() > 0 ? 64 : 65536;
    if (s.closeAfterBytes)
      want = std::min(want, *s.closeAfterBytes - std::min(total, *s.closeAfterBytes));
    if (want == 0) break;
    if (s.readDelay.count() > 0) std::this_thread::sleep_for(s.readDelay);
    std::string chunk(want, '\0');
    ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    buffer.append(chunk.data(), static_cast<size_t>(n));
    size_t start = 0, end;
    std::vector<Line> got;
    while ((end = buffer.find("\r\n", start)) != std::string::npos) {
      std::string raw = buffer.substr(start, end - start);
      auto plain = PXACrypto::decryptedDataFromString(raw);
      Line line;
      line.connection = number;
      // Empty bytes mean the markers were read but the body did not decode: a failure too.
      line.valid = plain && !plain->empty();
      line.text = line.valid ? *plain : raw;
      got.push_back(std::move(line));
      start = end + 2;
    }
    buffer.erase(0, start);
    if (!got.empty()) {
      std::lock_guard lock(mutex_);
      for (auto& l : got) lines_.push_back(std::move(l));
      changed_.notify_all();
    }
  }
  // A line cut off by the close is not a line.
  std::lock_guard lock(mutex_);
  open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
  ::close(fd);
  changed_.notify_all();
}

}  // namespace standin::logsink
