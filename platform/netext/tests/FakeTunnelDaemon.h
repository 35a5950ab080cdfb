#pragma once
// A small tunnel daemon for tests: the real control protocol over the real socket code, on a
// thread of its own.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "platform/netext/ControlSocket.h"

namespace platform::netext::testing {

// Greets a connection with its status; answers "status" with its status, "start" with 2 then 3
// (or a refusal), "message" with the data reversed (or null), "stop" with 5 and then hangs up.
class FakeDaemon {
 public:
  explicit FakeDaemon(std::string path) : path_(std::move(path)) {}
  ~FakeDaemon() { stop(); }

  bool start(VpnStatus initial = VpnStatus::Disconnected) {
    status_ = initial;
    listen_ = listenControlSocket(path_, ::getuid());
    if (listen_ < 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
  }
  void stop() {
    quit_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_ >= 0) ::close(listen_);
    listen_ = -1;
    ::unlink(path_.c_str());
  }

  std::atomic<bool> refuseStart{false};
  std::atomic<bool> nullReplies{false};
  std::atomic<bool> failAfterStart{false};
  std::atomic<int> starts{0};
  nlohmann::json lastOptions() {
    std::lock_guard lock(mu_);
    return lastOptions_;
  }
  std::atomic<int64_t> lastStopReason{-1};

 private:
  void send(int fd, const DaemonMessage& m) { sendControlMessage(fd, encodeDaemonMessage(m)); }
  void run() {
    int peer = -1;
    bool greeted = false;
    while (!quit_) {
      pollfd p{peer >= 0 ? peer : listen_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (peer < 0) {
        peer = acceptControlPeer(listen_, ::getuid());
        greeted = false;
        continue;
      }
      auto got = receiveControlMessage(peer);
      if (!got.bytes) {
        if (got.error == -EAGAIN) continue;
        ::close(peer);
        peer = -1;
        continue;
      }
      // The real daemon greets each connection with its status; here the greeting comes as late
      // as it can, after the app's first request has gone out.
      if (!greeted) {
        send(peer, DaemonMessage::statusEvent(status_));
        greeted = true;
      }
      auto req = decodeRequest(*got.bytes);
      if (!req) continue;
      switch (req->cmd) {
        case ControlCommand::Status:
          send(peer, DaemonMessage::statusEvent(status_));
          break;
        case ControlCommand::Start:
          ++starts;
          {
            std::lock_guard lock(mu_);
            lastOptions_ = req->options;
          }
          if (refuseStart) {
            send(peer, DaemonMessage::errorMessage({"daemon", 7, "bad options"}));
            break;
          }
          send(peer, DaemonMessage::statusEvent(status_ = VpnStatus::Connecting));
          if (failAfterStart) {
            send(peer, DaemonMessage::statusEvent(status_ = VpnStatus::Disconnected,
                                                  ControlError{"daemon", 9, "no route"}));
            ::close(peer);
            peer = -1;
            break;
          }
          send(peer, DaemonMessage::statusEvent(status_ = VpnStatus::Connected));
          break;
        case ControlCommand::Message:
          send(peer, DaemonMessage::replyMessage(nullReplies
                                                     ? std::nullopt
                                                     : std::optional<std::string>(std::string(
                                                           req->data.rbegin(), req->data.rend()))));
          break;
        case ControlCommand::Stop:
          lastStopReason = req->reason;
          send(peer, DaemonMessage::statusEvent(status_ = VpnStatus::Disconnecting));
          ::close(peer);
          peer = -1;
          status_ = VpnStatus::Disconnected;
          break;
      }
    }
    if (peer >= 0) ::close(peer);
  }

  std::mutex mu_;
  nlohmann::json lastOptions_;
  std::string path_;
  int listen_ = -1;
  std::thread thread_;
  std::atomic<bool> quit_{false};
  VpnStatus status_ = VpnStatus::Disconnected;
};

}  // namespace platform::netext::testing
