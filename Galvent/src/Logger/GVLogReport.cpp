#include "Galvent/Logger/GVLogReport.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Galvent/Logger/GVLogger.h"
#include "PexaraAPI/PXACrypto.h"
#include "Tovra/Base/TQAPIModel.h"

namespace {
std::mutex gDefaultHostMutex;
std::string gDefaultHost;
}  // namespace

// A TCP connection being opened or open; non-blocking so that a pass never waits for a connect.
struct GVLogReport::Connection {
  int fd = -1;
  bool connected = false;
  // A host that accepts and closes at once is caught before it swallows a batch: a new
  // connection carries lines only from the pass after the one that saw it open.
  bool proven = false;
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }

  enum class State { Opening, Open, Failed };

  static std::unique_ptr<Connection> open(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || !res)
      return nullptr;
    auto c = std::make_unique<Connection>();
    c->fd = ::socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool ok = c->fd >= 0 &&
              (::connect(c->fd, res->ai_addr, res->ai_addrlen) == 0 || errno == EINPROGRESS);
    ::freeaddrinfo(res);
    if (!ok) return nullptr;
    return c;
  }

  State state() {
    pollfd p{fd, POLLOUT | POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) < 0) return State::Failed;
    if (!connected) {
      if (!(p.revents & (POLLOUT | POLLERR | POLLHUP))) return State::Opening;
      int err = 0;
      socklen_t len = sizeof(err);
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return State::Failed;
      connected = true;
    }
    if (p.revents & (POLLERR | POLLHUP | POLLRDHUP)) return State::Failed;
    if (p.revents & POLLIN) {
      // The log host never talks; readable means it closed (0) or sent something we drop.
      char buf[256];
      ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return State::Failed;
    }
    return State::Open;
  }

  // Writes all of `data`, waiting while the socket buffer is full. Gives the bytes written.
  size_t writeAll(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        // A real-time guard against a host that stopped reading, not a timer of ours.
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 30000) <= 0 || (p.revents & (POLLERR | POLLHUP))) break;
        continue;
      }
      break;
    }
    return done;
  }
};

GVLogReport& GVLogReport::sharedLogReport() {
  // Never destroyed: the upload thread runs for the life of the process.
  static GVLogReport* report = new GVLogReport(platform::dispatch::defaultClock());
  return *report;
}

GVLogReport::GVLogReport(platform::dispatch::ClockPtr clock) : clock_(std::move(clock)) {
  if (!clock_) clock_ = platform::dispatch::defaultClock();
  unixTime_ = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  thread_ = std::thread([this] { run(); });
}

GVLogReport::~GVLogReport() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cond_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void GVLogReport::appendLog(std::string line) {
  bool warn = false;
  {
    std::lock_guard lock(mutex_);
    if (disableLog_) return;
    cachedLogs_.push_back(std::move(line));
    // Nobody uploads: older lines go first. One warning per overflow episode.
    if (cachedLogs_.size() > kMaxBacklog) {
      cachedLogs_.pop_front();
      warn = !droppedWarned_;
      droppedWarned_ = true;
    }
  }
  cond_.notify_all();
  if (warn) GVLogWarn("LogReport backlog full, dropping the oldest lines");
}

void GVLogReport::appendTrafficInfo(const nlohmann::json& dict) {
  if (!dict.is_object()) return;
  {
    // Object keys are sorted in the dump, so equal dictionaries give equal texts.
    std::string key = tq::dumpJSON(dict);
    std::lock_guard lock(packetMutex_);
    if (!cachedPacketDictSet_.insert(std::move(key)).second) return;
  }
  nlohmann::json copy = dict;
  int64_t now;
  {
    std::lock_guard lock(mutex_);
    now = unixTime_();
  }
  copy["time"] = now;
  copy["@TimeStamp"] = now;
  // The text is a line as it is, never a format: "%" stays "%".
  appendLog(tq::dumpJSON(copy));
}

void GVLogReport::setUploadStreamWithHost(const std::string& host, uint16_t port) {
  {
    std::lock_guard lock(mutex_);
    host_ = host;
    port_ = port;
    ++targetGeneration_;
  }
  cond_.notify_all();
}

void GVLogReport::setDefaultLogHost(std::string host) {
  std::lock_guard lock(gDefaultHostMutex);
  gDefaultHost = std::move(host);
}

void GVLogReport::newUploadStream() {
  std::string host;
  {
    std::lock_guard lock(gDefaultHostMutex);
    host = gDefaultHost;
  }
  if (host.empty()) {
    // Said once per stream asked for: the daemon was started without --log-host.
    GVLogWarn("log upload: no log host configured; the log stays local");
    return;
  }
  setUploadStreamWithHost(host, kDefaultLogPort);
}

void GVLogReport::setDisableLog(bool disable) {
  {
    std::lock_guard lock(mutex_);
    disableLog_ = disable;
  }
  cond_.notify_all();
}

bool GVLogReport::disableLog() const {
  std::lock_guard lock(mutex_);
  return disableLog_;
}

uint64_t GVLogReport::passes() const {
  std::lock_guard lock(mutex_);
  return passes_;
}

bool GVLogReport::waitForPasses(uint64_t count, std::chrono::milliseconds realTimeout) const {
  std::unique_lock lock(mutex_);
  return cond_.wait_for(lock, realTimeout, [&] { return passes_ >= count || ended_; }) &&
         passes_ >= count;
}

size_t GVLogReport::backlog() const {
  std::lock_guard lock(mutex_);
  return cachedLogs_.size() + pending_.size();
}

bool GVLogReport::threadEnded() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

void GVLogReport::setUnixTime(std::function<int64_t()> now) {
  std::lock_guard lock(mutex_);
  unixTime_ = std::move(now);
}

bool GVLogReport::sleepPass() {
  std::unique_lock lock(mutex_);
  timerFired_ = false;
  // The clock may fire inside another thread's advance(); it only flips the flag.
  uint64_t id = clock_->schedule(clock_->now() + kPassInterval, [this] {
    {
      std::lock_guard inner(mutex_);
      timerFired_ = true;
    }
    cond_.notify_all();
  });
  cond_.wait(lock, [&] { return timerFired_ || stopping_; });
  if (stopping_) {
    lock.unlock();
    clock_->cancel(id);
    return false;
  }
  return true;
}

void GVLogReport::run() {
  for (;;) {
    if (!sleepPass()) break;
    lastClearPacketCacheInteval_ += static_cast<double>(kPassInterval.count());
    if (lastClearPacketCacheInteval_ >= static_cast<double>(kPacketCacheClear.count())) {
      lastClearPacketCacheInteval_ = 0;
      std::lock_guard lock(packetMutex_);
      cachedPacketDictSet_.clear();
    }
    bool exitNow = false, warn = false;
    {
      std::unique_lock lock(mutex_);
      // Disabling also wakes the wait, so a thread with nothing to send can end.
      cond_.wait(lock, [&] {
        return !cachedLogs_.empty() || !pending_.empty() || disableLog_ || stopping_;
      });
      if (stopping_) break;
      while (!cachedLogs_.empty()) {
        pending_.push_back(std::move(cachedLogs_.front()));
        cachedLogs_.pop_front();
      }
      if (pending_.size() > kMaxBacklog) {
        pending_.erase(pending_.begin(),
                       pending_.begin() + static_cast<ptrdiff_t>(pending_.size() - kMaxBacklog));
        warn = !droppedWarned_;
        droppedWarned_ = true;
      } else if (pending_.size() < kMaxBacklog) {
        droppedWarned_ = false;
      }
      if (!current_ && port_ == 0 && disableLog_) exitNow = true;
    }
    if (warn) GVLogWarn("LogReport backlog full, dropping the oldest lines");
    if (exitNow) {
      GVLogError("Disable LogReport, backgroud thread exit");
      break;
    }
    upload();
    {
      std::lock_guard lock(mutex_);
      ++passes_;
    }
    cond_.notify_all();
  }
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  cond_.notify_all();
}

void GVLogReport::upload() {
  std::string host;
  uint16_t port;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    host = host_;
    port = port_;
    generation = targetGeneration_;
  }
  if (current_ && currentGeneration_ != generation) current_.reset();  // a new target was set
  if (!current_) {
    if (port == 0) return;  // no target yet: keep the lines
    if (clock_->now() < nextConnect_) return;
    current_ = Connection::open(host, port);
    currentGeneration_ = generation;
    if (!current_) {
      nextConnect_ = clock_->now() + reconnectDelay_;
      reconnectDelay_ = std::min(reconnectDelay_ * 2, kMaxReconnectDelay);
      return;
    }
  }
  auto fail = [&] {
    // Forget the stream and reconnect to the same target later; the lines stay pending.
    current_.reset();
    nextConnect_ = clock_->now() + reconnectDelay_;
    reconnectDelay_ = std::min(reconnectDelay_ * 2, kMaxReconnectDelay);
  };
  switch (current_->state()) {
    case Connection::State::Opening:
      return;
    case Connection::State::Failed:
      fail();
      return;
    case Connection::State::Open:
      break;
  }
  if (!current_->proven) {
    current_->proven = true;
    return;
  }
  if (pending_.empty()) return;
  std::string batch;
  std::vector<size_t> ends;  // end offset of each line in the batch
  for (const auto& line : pending_) {
    batch += PXACrypto::encryptedStringOfString(line);
    batch += "\r\n";
    ends.push_back(batch.size());
  }
  size_t written = current_->writeAll(batch);
  size_t sent = 0;
  while (sent < ends.size() && ends[sent] <= written) ++sent;
  {
    std::lock_guard lock(mutex_);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(sent));
  }
  if (written < batch.size()) {
    fail();
  } else {
    reconnectDelay_ = kPassInterval;
  }
}
