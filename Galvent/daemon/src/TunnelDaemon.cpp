#include "TunnelDaemon.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Galvent/Logger/GVLogReport.h"
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Tunnel/Provider/GVIPPacketStack.h"
#include "Mazzle/MZRawSocketFactory.h"
#include "Mazzle/MZTCPStack.h"
#include "OwnerFileAccess.h"
#include "Tovra/REST/CurlTransport.h"
#include "platform/dispatch/AsioQueue.h"
#include "platform/netext/ControlSocket.h"
#include "platform/netext/NetworkSettings.h"

using namespace platform::netext;

namespace {

// Lines go to standard error, where the launcher collects them.
class StderrLogger : public GVLogger {
 public:
  void logInfo(const std::string& t) override { std::fprintf(stderr, "I %s\n", t.c_str()); }
  void logWarn(const std::string& t) override { std::fprintf(stderr, "W %s\n", t.c_str()); }
  void logError(const std::string& t) override { std::fprintf(stderr, "E %s\n", t.c_str()); }
};

std::optional<uint64_t> number(const std::string& text, uint64_t max) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return std::nullopt;
  return v;
}

}  // namespace

std::optional<TunnelDaemonConfig> TunnelDaemonConfig::fromArguments(int argc, char** argv,
                                                                    std::string& error) {
  TunnelDaemonConfig c;
  bool haveOwner = false;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (i + 1 >= argc) {
      error = "missing value for " + flag;
      return std::nullopt;
    }
    std::string value = argv[++i];
    if (flag == "--control") {
      c.control = value;
    } else if (flag == "--owner-uid") {
      auto v = number(value, 0xfffffffe);
      if (!v) return error = "bad --owner-uid", std::nullopt;
      c.ownerUid = static_cast<uid_t>(*v);
      haveOwner = true;
    } else if (flag == "--container-root") {
      c.containerRoot = value;
    } else if (flag == "--resources") {
      c.resources = value;
    } else if (flag == "--mark") {
      auto v = number(value, 0xffffffff);
      if (!v || *v == 0) return error = "bad --mark", std::nullopt;
      c.mark = static_cast<uint32_t>(*v);
    } else if (flag == "--table") {
      auto v = number(value, 0xffffffff);
      // Neither it nor the DNS table after it may be unspec, default, main or local.
      if (!v || *v == 0 || *v >= 0xffffffff || (*v >= 252 && *v <= 255))
        return error = "bad --table", std::nullopt;
      c.table = static_cast<uint32_t>(*v);
    } else if (flag == "--dns-config") {
      c.dnsMode = DnsConfigurator::modeFromText(value);
      if (!c.dnsMode)
        return error = "--dns-config takes resolved, resolv.conf or none", std::nullopt;
    } else if (flag == "--tcp-idle-limit") {
      // For tests: how long a TCP flow whose connection was never accepted may stay idle.
      auto v = number(value, 86400);
      if (!v || *v == 0) return error = "bad --tcp-idle-limit", std::nullopt;
      c.tcpIdleLimit = std::chrono::seconds(*v);
    } else if (flag == "--log-host") {
      c.logHost = value;
    } else {
      error = "unknown flag " + flag;
      return std::nullopt;
    }
  }
  if (c.control.empty()) return error = "--control is required", std::nullopt;
  if (!haveOwner) return error = "--owner-uid is required", std::nullopt;
  return c;
}

TunnelDaemon::TunnelDaemon(TunnelDaemonConfig config)
    : config_(std::move(config)), signals_(io_, SIGTERM, SIGINT) {}

TunnelDaemon::~TunnelDaemon() {
  if (boundControl_)
    platform::netext::removeControlSocketIfSame(config_.control, boundControl_->first,
                                                boundControl_->second);
}

int TunnelDaemon::run() {
  // First, while the process has one thread: the guardian is a plain fork of it.
  dnsMode_ = config_.dnsMode ? *config_.dnsMode : DnsConfigurator::detectMode();
  const Guardian::Settings leftovers{config_.mark, config_.table, dnsMode_};
  if (!guardian_.start(leftovers))
    std::fprintf(stderr, "W no guardian (%s): a crash would leave the routes in place\n",
                 std::strerror(errno));
  // What a run that died before its guardian could act left behind goes before anything else.
  Guardian::putBack(leftovers);
  auto mainQueue = std::make_shared<platform::dispatch::AsioQueue>(io_);
  platform::dispatch::installMainQueue(mainQueue);
  GVLogger::setLogger(std::make_shared<StderrLogger>());
  if (!config_.containerRoot.empty()) GVLogger::setContainerRoot(config_.containerRoot);
  OwnerFileAccess owner(config_.ownerUid, OwnerFileAccess::primaryGroupOf(config_.ownerUid));
  GVLogger::setContainerAccess([owner](const std::function<void()>& work) {
    if (!owner.run(work))
      std::fprintf(stderr, "E cannot take the owner's file identity; the container is untouched\n");
  });
  if (!config_.resources.empty()) GVIPPacketStack::setResourcesDirectory(config_.resources);
  MZRawSocketFactory::sharedInstance().setMark(config_.mark);
  if (config_.tcpIdleLimit) MZTCPStack::stack()->setIdleTimeout(*config_.tcpIdleLimit);
  // Service calls of the variants must bypass the tunnel like every other socket of ours.
  const uint32_t mark = config_.mark;
  tq::CurlTransport::shared()->setSocketHook(
      [mark](int fd) { return ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) == 0; });
  if (!config_.logHost.empty()) GVLogReport::setDefaultLogHost(config_.logHost);

  int fd = listenControlSocket(config_.control, config_.ownerUid);
  if (fd < 0) {
    std::fprintf(stderr, "E cannot listen on %s: %s\n", config_.control.c_str(),
                 std::strerror(-fd));
    guardian_.cleanStop();
    return 1;
  }
  struct stat bound;
  if (::lstat(config_.control.c_str(), &bound) == 0)
    boundControl_.emplace(bound.st_dev, bound.st_ino);
  listener_ = std::make_unique<asio::posix::stream_descriptor>(io_, fd);
  acceptNext();
  signals_.async_wait([this](const asio::error_code& ec, int) {
    if (!ec) stop(0);
  });
  io_.run();
  // The loop ends only through finish(), which has put the settings back.
  guardian_.cleanStop();
  platform::dispatch::installMainQueue(nullptr);
  // Service calls still in flight finish on the transport's thread after this; their outcomes
  // must not be posted onto an io_context that is about to go.
  mainQueue->close();
  return exitCode_;
}

void TunnelDaemon::acceptNext() {
  listener_->async_wait(
      asio::posix::stream_descriptor::wait_read, [this](const asio::error_code& ec) {
        if (ec) return;
        int fd = acceptControlPeer(listener_->native_handle(), config_.ownerUid);
        if (fd >= 0) {
          auto peer = std::make_shared<asio::posix::stream_descriptor>(io_, fd);
          peers_.push_back(peer);
          send(peer, DaemonMessage::statusEvent(status_, lastError_));
          readNext(peer);
        } else if (fd == -EPERM) {
          std::fprintf(stderr, "W refused a control peer that is neither root nor the owner\n");
        }
        acceptNext();
      });
}

void TunnelDaemon::readNext(std::shared_ptr<asio::posix::stream_descriptor> peer) {
  peer->async_wait(
      asio::posix::stream_descriptor::wait_read, [this, peer](const asio::error_code& ec) {
        if (ec) return;
        auto received = receiveControlMessage(peer->native_handle());
        if (received.error == -EAGAIN) return readNext(peer);
        if (!received.bytes) {
          if (received.error == -EMSGSIZE) {
            send(peer, DaemonMessage::errorMessage(
                           {kControlErrorDomain, 1, "control message larger than 1 MiB"}));
            return readNext(peer);
          }
          peers_.remove(peer);  // closed
          return;
        }
        ControlError error;
        if (auto request = decodeRequest(*received.bytes, &error)) {
          handle(peer, *request);
        } else {
          send(peer, DaemonMessage::errorMessage(error));
        }
        if (!finishing_) readNext(peer);
      });
}

void TunnelDaemon::send(const std::shared_ptr<asio::posix::stream_descriptor>& peer,
                        const DaemonMessage& message) {
  (void)sendControlMessage(peer->native_handle(), encodeDaemonMessage(message));
}

void TunnelDaemon::broadcastStatus() {
  for (const auto& peer : peers_) send(peer, DaemonMessage::statusEvent(status_, lastError_));
}

void TunnelDaemon::setStatus(VpnStatus status, std::optional<ControlError> error) {
  status_ = status;
  lastError_ = std::move(error);
  broadcastStatus();
}

void TunnelDaemon::handle(const std::shared_ptr<asio::posix::stream_descriptor>& peer,
                          const ControlRequest& request) {
  switch (request.cmd) {
    case ControlCommand::Status:
      send(peer, DaemonMessage::statusEvent(status_, lastError_));
      break;
    case ControlCommand::Start:
      if (started_) {
        send(peer, DaemonMessage::errorMessage(
                       {kControlErrorDomain, 5, "the tunnel has already started"}));
      } else {
        start(request.options);
      }
      break;
    case ControlCommand::Stop:
      stop(request.reason);
      break;
    case ControlCommand::Message:
      if (!provider_) {
        send(peer, DaemonMessage::replyMessage(std::nullopt));
      } else {
        std::weak_ptr<asio::posix::stream_descriptor> weak = peer;
        provider_->handleAppMessage(request.data, [this, weak](std::optional<std::string> reply) {
          // Replies may come from another thread; the socket is the loop's.
          asio::post(io_, [this, weak, reply = std::move(reply)] {
            if (auto p = weak.lock()) send(p, DaemonMessage::replyMessage(reply));
          });
        });
      }
      break;
  }
}

void TunnelDaemon::start(const nlohmann::json& options) {
  started_ = true;
  setStatus(VpnStatus::Connecting);
  flow_ = std::make_shared<PacketFlow>();
  if (int rc = flow_->open("gvtun%d", true); rc != 0) {
    setStatus(VpnStatus::Disconnected,
              ControlError{"NEVPNErrorDomain", -rc,
                           std::string("cannot open the TUN device: ") + std::strerror(-rc)});
    return finish(1);
  }
  provider_ = std::make_shared<GVPacketTunnelProvider>();
  provider_->setPacketFlow(flow_);
  provider_->setSettingsApplier(
      std::make_shared<RtnetlinkSettingsApplier>(flow_->name(), config_.mark, config_.table));
  auto dns = std::make_shared<DnsConfigurator>(dnsMode_, flow_->name());
  dns->restoreStale();
  provider_->setDnsConfigurator(dns);
  provider_->setCancelHandler([this](std::optional<ControlError> error) {
    asio::post(io_, [this, error] {
      if (finishing_) return;
      GVLogError("Tunnel cancelled: " + (error ? error->description : std::string("no error")));
      setStatus(VpnStatus::Disconnecting);
      provider_->stopTunnel(0, nullptr);
      setStatus(VpnStatus::Disconnected, error);
      finish(1);
    });
  });
  provider_->setReassertingHandler([this](bool on) {
    asio::post(io_, [this, on] {
      if (!finishing_) setStatus(on ? VpnStatus::Reasserting : VpnStatus::Connected);
    });
  });
  provider_->startTunnel(options, [this](std::optional<ControlError> error) {
    if (error) {
      setStatus(VpnStatus::Disconnected, error);
      finish(1);
    } else {
      setStatus(VpnStatus::Connected);
    }
  });
}

void TunnelDaemon::stop(int64_t reason) {
  if (finishing_) return;
  if (!provider_) {
    setStatus(VpnStatus::Disconnected);
    return finish(0);
  }
  setStatus(VpnStatus::Disconnecting);
  provider_->stopTunnel(reason, [this] {
    setStatus(VpnStatus::Disconnected);
    finish(0);
  });
}

void TunnelDaemon::finish(int exitCode) {
  if (finishing_) return;
  finishing_ = true;
  exitCode_ = exitCode;
  if (provider_) provider_->setTunnelNetworkSettings(nullptr, nullptr);
  if (flow_) flow_->close();
  // Let the last status events leave before the loop ends.
  asio::post(io_, [this] {
    for (auto& peer : peers_) ::shutdown(peer->native_handle(), SHUT_WR);
    io_.stop();
  });
}
