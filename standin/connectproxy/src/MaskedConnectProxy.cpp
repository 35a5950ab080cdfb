#include "standin/MaskedConnectProxy.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace standin {
namespace {

void mask(char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>(data[i] ^ MaskedConnectProxy::kMask);
}

bool sendMasked(int fd, std::string data) {
  mask(data.data(), data.size());
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

int connectTo(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(res);
  return fd;
}

}  // namespace

MaskedConnectProxy::~MaskedConnectProxy() { stop(); }

void MaskedConnectProxy::setHostAddress(const std::string& host, const std::string& ipv4) {
  std::lock_guard lock(mutex_);
  hosts_[host] = ipv4;
}

std::string MaskedConnectProxy::addressFor(const std::string& host) const {
  std::lock_guard lock(mutex_);
  auto it = hosts_.find(host);
  return it == hosts_.end() ? host : it->second;
}

int MaskedConnectProxy::start(const std::string& address, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    ::close(fd);
    return -EINVAL;
  }
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int err = errno;
    ::close(fd);
    return -err;
  }
  listenFd_ = fd;
  port_ = ntohs(addr.sin_port);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { acceptLoop(); });
  return 0;
}

void MaskedConnectProxy::stop() {
  if (listenFd_ < 0) return;
  uint64_t one = 1;
  (void)::write(wakeFd_, &one, sizeof one);
  thread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (auto& w : workers) w.join();
  ::close(listenFd_);
  ::close(wakeFd_);
  listenFd_ = wakeFd_ = -1;
}

std::vector<std::string> MaskedConnectProxy::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void MaskedConnectProxy::record(const std::string& line) {
  std::lock_guard lock(mutex_);
  requests_.push_back(line);
  if (!logFile_.empty()) std::ofstream(logFile_, std::ios::app) << line << "\n";
}

void MaskedConnectProxy::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(mutex_);
    open_.push_back(client);
    workers_.emplace_back([this, client] { serve(client); });
  }
}

void MaskedConnectProxy::serve(int client) {
  int remote = -1;
  auto forget = [&] {
    std::lock_guard lock(mutex_);
    for (int fd : {client, remote}) {
      if (fd < 0) continue;
      open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
      ::close(fd);
    }
  };
  std::string header;
  char buffer[16384];
  while (header.find("\r\n\r\n") == std::string::npos && header.size() < 8192) {
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return forget();
    mask(buffer, static_cast<size_t>(n));
    header.append(buffer, static_cast<size_t>(n));
  }
  auto end = header.find("\r\n\r\n");
  if (end == std::string::npos) return forget();
  std::string extra = header.substr(end + 4);
  std::string line = header.substr(0, header.find("\r\n"));
  record(line);
  if (mode_ == Mode::Refuse) {
    sendMasked(client, "HTTP/1.1 403 Forbidden\r\n\r\n");
    return forget();
  }
  if (mode_ == Mode::Garbage) {
    sendMasked(client, "NOT HTTP AT ALL\r\n\r\n");
    return forget();
  }
  // "CONNECT host:port HTTP/1.1"
  std::string target;
  if (line.rfind("CONNECT ", 0) == 0) target = line.substr(8, line.find(' ', 8) - 8);
  auto colon = target.rfind(':');
  if (colon == std::string::npos ||
      (remote = connectTo(addressFor(target.substr(0, colon)), target.substr(colon + 1))) < 0) {
    sendMasked(client, "HTTP/1.1 502 Bad Gateway\r\n\r\n");
    return forget();
  }
  {
    std::lock_guard lock(mutex_);
    open_.push_back(remote);
  }
  sendMasked(client, "HTTP/1.1 200 Connection established\r\n\r\n");
  if (!extra.empty()) ::send(remote, extra.data(), extra.size(), MSG_NOSIGNAL);
  bool clientOpen = true, remoteOpen = true;
  while (clientOpen || remoteOpen) {
    pollfd fds[2] = {{client, short(clientOpen ? POLLIN : 0), 0},
                     {remote, short(remoteOpen ? POLLIN : 0), 0}};
    if (::poll(fds, 2, -1) < 0) break;
    if (fds[0].revents) {
      ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) {
        clientOpen = false;
        ::shutdown(remote, SHUT_WR);
      } else {
        mask(buffer, static_cast<size_t>(n));
        ::send(remote, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
      }
    }
    if (fds[1].revents) {
      ssize_t n = ::recv(remote, buffer, sizeof buffer, 0);
      if (n <= 0) {
        remoteOpen = false;
        ::shutdown(client, SHUT_WR);
      } else {
        sendMasked(client, std::string(buffer, static_cast<size_t>(n)));
      }
    }
  }
  forget();
}

}  // namespace standin
