#include "platform/netext/TunnelConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dispatch/Queue.h"
#include "platform/netext/ControlSocket.h"

namespace platform::netext {
namespace {

ControlError managerError(std::int64_t code, std::string description) {
  return ControlError{kTunnelManagerErrorDomain, code, std::move(description)};
}

std::mutex& launcherMutex() {
  static std::mutex mu;
  return mu;
}
TunnelLauncher& launcherOverride() {
  static TunnelLauncher launcher;
  return launcher;
}

std::string executableFolder() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string dataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return xdg;
  if (const char* home = std::getenv("HOME"); home && home[0] == '/')
    return std::string(home) + "/.local/share";
  return "/tmp";
}

}  // namespace

std::optional<ControlError> checkDaemonProgram(const std::string& program) {
  struct stat st;
  if (program.empty() || program[0] != '/' || ::stat(program.c_str(), &st) != 0)
    return managerError(ENOENT, "tunnel daemon not found at \"" + program + "\"");
  if (!S_ISREG(st.st_mode)) return managerError(EINVAL, program + " is not a regular file");
  if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return managerError(EPERM, program + " must be owned by root and not writable by others");
  return std::nullopt;
}

TunnelLauncher authorizedTunnelLauncher(platform::auth::Options options) {
  return [options](const std::string& program,
                   const std::vector<std::string>& arguments) -> std::optional<ControlError> {
    if (auto e = checkDaemonProgram(program)) return e;
    int err = 0;
    // One elevation for this launch; the daemon then runs on its own.
    auto auth = platform::auth::Authorization::obtain(options, &err);
    if (!auth) {
      if (err == ENOENT)
        return managerError(EPERM, "the tunnel daemon needs root rights and " + options.elevator +
                                       " or the privileged runner is not available");
      if (err == EPERM)
        return managerError(
            EPERM, "the privileged runner must be owned by root and not writable by others");
      return managerError(EACCES, "root rights to start the tunnel daemon were refused");
    }
    platform::auth::RunResult r = auth->launch(program, arguments, "/");
    if (r.err == EPIPE)
      return managerError(EPIPE, "the privileged runner ended before starting " + program);
    if (r.err != 0)
      return managerError(r.err, "could not start " + program + ": " + std::strerror(r.err));
    return std::nullopt;
  };
}

std::optional<ControlError> defaultTunnelLauncher(const std::string& program,
                                                  const std::vector<std::string>& arguments) {
  return authorizedTunnelLauncher(platform::auth::Options{})(program, arguments);
}

void setDefaultTunnelLauncher(TunnelLauncher launcher) {
  std::lock_guard lock(launcherMutex());
  launcherOverride() = std::move(launcher);
}

std::optional<std::string> controlSocketPath(const std::string& id) {
  if (id.empty() || id == "." || id == ".." || id.find('/') != std::string::npos ||
      id.find('\0') != std::string::npos)
    return std::nullopt;
  std::string folder = "/run/galvent";
  if (const char* dir = std::getenv("GALVENT_RUN_DIR"); dir && dir[0] == '/') folder = dir;
  return folder + "/" + id + ".sock";
}

TunnelConnection::TunnelConnection(std::string providerBundleIdentifier,
                                   TunnelLaunchSettings settings)
    : provider_(std::move(providerBundleIdentifier)), settings_(std::move(settings)) {}

TunnelConnection::~TunnelConnection() { closeConnection(); }

void TunnelConnection::setLaunchSettings(TunnelLaunchSettings settings) {
  std::lock_guard lock(mu_);
  settings_ = std::move(settings);
}

std::optional<ControlError> TunnelConnection::lastError() const {
  std::lock_guard lock(mu_);
  return publishedError_;
}

void TunnelConnection::publish(VpnStatus status) {
  std::weak_ptr<TunnelConnection> weak = weak_from_this();
  platform::dispatch::postToMain([weak, status] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mu_);
      if (status == VpnStatus::Disconnected) {
        self->publishedError_ = self->daemonError_;
      } else {
        self->publishedError_.reset();
      }
    }
    if (self->status_.exchange(static_cast<int>(status)) == static_cast<int>(status)) return;
    platform::notifications::NotificationCenter::defaultCenter().post(
        NEVPNStatusDidChangeNotification, self);
  });
}

// Connects to a running daemon and starts the reader; true when connected (also before).
bool TunnelConnection::connectLocked(std::unique_lock<std::mutex>& lock) {
  if (fd_ >= 0) return true;
  auto path = controlSocketPath(provider_);
  if (!path) return false;
  if (reader_.joinable()) {
    lock.unlock();
    reader_.join();
    lock.lock();
    if (fd_ >= 0) return true;
  }
  int fd = connectControlSocket(*path);
  if (fd < 0) return false;
  fd_ = fd;
  readerRunning_ = true;
  daemonError_.reset();
  reader_ = std::thread([this, fd] { readerLoop(fd); });
  return true;
}

void TunnelConnection::readerLoop(int fd) {
  for (;;) {
    auto received = receiveControlMessage(fd);
    if (!received.bytes) {
      if (received.error == -EMSGSIZE) continue;  // dropped whole; the stream stays usable
      break;
    }
    ControlError why;
    auto message = decodeDaemonMessage(*received.bytes, &why);
    if (!message) {
      std::fprintf(stderr, "netext: bad message from the tunnel daemon: %s\n",
                   why.description.c_str());
      continue;
    }
    std::unique_lock lock(mu_);
    switch (message->kind) {
      case DaemonMessageKind::Status: {
        // While a start is awaited, a plain "disconnected" is the daemon's state from before the
        // start (its greeting on connect, or an answer to an earlier request), not the start's
        // outcome: a failed start comes with its error or a hang-up.
        const bool before = watching_ && !firstStatus_ &&
                            message->status == VpnStatus::Disconnected && !message->error;
        daemonStatus_ = message->status;
        if (message->error) daemonError_ = message->error;
        ++statusEvents_;
        if (watching_ && !firstStatus_ && !before) firstStatus_ = message->status;
        lock.unlock();
        cv_.notify_all();
        if (!before) publish(message->status);
        break;
      }
      case DaemonMessageKind::Reply: {
        ReplyHandler handler;
        if (!pendingReplies_.empty()) {
          handler = std::move(pendingReplies_.front());
          pendingReplies_.pop_front();
        }
        lock.unlock();
        if (handler) {
          platform::dispatch::postToMain(
              [handler = std::move(handler), data = message->reply.value_or(std::string())] {
                handler(data);
              });
        }
        break;
      }
      case DaemonMessageKind::Error:
        lastRefusal_ = message->error;
        ++errorMessages_;
        lock.unlock();
        cv_.notify_all();
        break;
    }
  }
  // The daemon is gone (or hung up on us): disconnected, with the error it reported.
  std::deque<ReplyHandler> orphans;
  {
    std::lock_guard lock(mu_);
    readerRunning_ = false;
    if (fd_ == fd) {
      ::close(fd_);
      fd_ = -1;
    }
    // A daemon that stops says so before it hangs up; one that goes while a tunnel was up or
    // coming up was killed or crashed, and the user is told so.
    if (daemonStatus_ != VpnStatus::Disconnected && daemonStatus_ != VpnStatus::Disconnecting)
      daemonError_ = managerError(6, "the tunnel process ended unexpectedly");
    daemonStatus_ = VpnStatus::Disconnected;
    ++statusEvents_;
    if (watching_ && !firstStatus_) firstStatus_ = VpnStatus::Disconnected;
    orphans.swap(pendingReplies_);
  }
  cv_.notify_all();
  for (auto& handler : orphans) {
    platform::dispatch::postToMain([handler = std::move(handler)] { handler(std::string()); });
  }
  publish(VpnStatus::Disconnected);
}

void TunnelConnection::closeConnection() {
  std::unique_lock lock(mu_);
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  lock.unlock();
  if (reader_.joinable()) reader_.join();
  lock.lock();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool TunnelConnection::refreshStatus() {
  std::unique_lock lock(mu_);
  if (!connectLocked(lock)) {
    lock.unlock();
    publish(VpnStatus::Disconnected);
    return false;
  }
  uint64_t seen = statusEvents_;
  int fd = fd_;
  const auto timeout = settings_.answerTimeout;
  lock.unlock();
  if (sendControlMessage(fd, encodeRequest(ControlRequest::status())) != 0) return false;
  lock.lock();
  cv_.wait_for(lock, timeout, [&] { return statusEvents_ > seen; });
  bool answered = statusEvents_ > seen && readerRunning_;
  // The caller reads status() next: set it now rather than after the queued publication.
  status_.store(static_cast<int>(daemonStatus_));
  return answered;
}

std::optional<ControlError> TunnelConnection::launch(const std::string& socketPath) {
  TunnelLaunchSettings s;
  {
    std::lock_guard lock(mu_);
    s = settings_;
  }
  std::string program = s.program.empty() ? executableFolder() + "/galvent-tunnel" : s.program;
  std::string containerRoot = s.containerRoot.empty() ? dataHome() : s.containerRoot;
  std::string resources = s.resources.empty() ? executableFolder() : s.resources;
  uid_t owner = s.ownerUid == static_cast<uid_t>(-1) ? ::getuid() : s.ownerUid;
  std::vector<std::string> args = {"--control",           socketPath,         "--owner-uid",
                                   std::to_string(owner), "--container-root", containerRoot,
                                   "--resources",         resources};
  if (s.mark) args.insert(args.end(), {"--mark", std::to_string(*s.mark)});
  if (s.table) args.insert(args.end(), {"--table", std::to_string(*s.table)});
  if (!s.dnsConfig.empty()) args.insert(args.end(), {"--dns-config", s.dnsConfig});
  if (!s.logHost.empty()) args.insert(args.end(), {"--log-host", s.logHost});
  TunnelLauncher launcher = s.launcher;
  if (!launcher) {
    std::lock_guard lock(launcherMutex());
    launcher = launcherOverride();
  }
  if (!launcher) launcher = defaultTunnelLauncher;
  return launcher(program, args);
}

void TunnelConnection::announceConnecting() { publish(VpnStatus::Connecting); }

std::optional<ControlError> TunnelConnection::startVPNTunnel(const nlohmann::json& options) {
  auto path = controlSocketPath(provider_);
  if (!path) {
    auto e = managerError(
        EINVAL, "provider bundle identifier \"" + provider_ + "\" cannot name a control socket");
    {
      std::lock_guard lock(mu_);
      daemonError_ = e;
    }
    publish(VpnStatus::Disconnected);
    return e;
  }
  uint64_t errorsSeen;
  {
    // Watched from before connecting: the daemon greets a new connection with its status, which
    // must not pass for the start's outcome.
    std::lock_guard lock(mu_);
    watching_ = true;
    firstStatus_.reset();
    errorsSeen = errorMessages_;
  }
  auto result = startWatched(*path, options, errorsSeen);
  VpnStatus last;
  {
    std::lock_guard lock(mu_);
    watching_ = false;
    last = daemonStatus_;
  }
  // A start that failed must not leave "connecting" behind: the daemon's own word stands.
  if (result) publish(last);
  return result;
}

std::optional<ControlError> TunnelConnection::startWatched(const std::string& path,
                                                           const nlohmann::json& options,
                                                           uint64_t errorsSeen) {
  std::unique_lock lock(mu_);
  if (!connectLocked(lock)) {
    const auto timeout = settings_.launchTimeout;
    lock.unlock();
    publish(VpnStatus::Connecting);
    if (auto e = launch(path)) {
      {
        std::lock_guard g(mu_);
        daemonError_ = e;
      }
      publish(VpnStatus::Disconnected);
      return e;
    }
    // Wait for the daemon's socket; the wait is for another process, not a timer of ours.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    lock.lock();
    while (!connectLocked(lock)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ControlError e = managerError(ETIMEDOUT, "the tunnel daemon did not open " + path);
        daemonError_ = e;
        lock.unlock();
        publish(VpnStatus::Disconnected);
        return e;
      }
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      lock.lock();
    }
  }
  int fd = fd_;
  const auto timeout = settings_.answerTimeout;
  lock.unlock();
  // The first status after "start" tells acceptance from failure; later ones are the run's.
  int rc = sendControlMessage(fd, encodeRequest(ControlRequest::start(options)));
  lock.lock();
  if (rc != 0) return managerError(-rc, std::string("cannot send start: ") + std::strerror(-rc));
  bool answered = cv_.wait_for(
      lock, timeout, [&] { return firstStatus_.has_value() || errorsSeen < errorMessages_; });
  if (errorMessages_ > errorsSeen)
    return lastRefusal_.value_or(managerError(EPROTO, "the tunnel daemon refused \"start\""));
  if (!answered) return managerError(ETIMEDOUT, "the tunnel daemon did not answer \"start\"");
  if (*firstStatus_ == VpnStatus::Disconnected || *firstStatus_ == VpnStatus::Invalid)
    return daemonError_.value_or(managerError(ECONNRESET, "the tunnel daemon stopped"));
  return std::nullopt;
}

void TunnelConnection::stopVPNTunnel() {
  std::unique_lock lock(mu_);
  if (fd_ < 0) return;
  int fd = fd_;
  lock.unlock();
  // Published before the request goes out: the daemon's answer is read on the reader thread,
  // and a later "disconnecting" would overwrite its "disconnected". When the send fails the
  // socket is broken, and the reader publishes "disconnected" as it sees the hang-up.
  publish(VpnStatus::Disconnecting);
  (void)sendControlMessage(fd, encodeRequest(ControlRequest::stop(1)));
}

void TunnelConnection::sendProviderMessage(const std::string& data, ReplyHandler reply) {
  if (!reply) reply = [](std::string) {};
  std::unique_lock lock(mu_);
  if (fd_ < 0) {
    lock.unlock();
    reply(std::string());
    return;
  }
  int fd = fd_;
  // Queued before sending, so the reader can never see the answer first.
  pendingReplies_.push_back(reply);
  lock.unlock();
  if (sendControlMessage(fd, encodeRequest(ControlRequest::message(data))) != 0) {
    lock.lock();
    // The reader may already have flushed the queue; only take ours back when still there.
    if (!pendingReplies_.empty())
      pendingReplies_.pop_back();
    else
      return;
    lock.unlock();
    reply(std::string());
  }
}

}  // namespace platform::netext
