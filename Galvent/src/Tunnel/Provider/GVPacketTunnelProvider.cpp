#include "Galvent/Tunnel/Provider/GVPacketTunnelProvider.h"

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTrafficInfo.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Galvent/Tunnel/Adapter/GVDNSServer.h"
#include "Galvent/Tunnel/Adapter/GVDomainRecorder.h"
#include "Galvent/Tunnel/Adapter/GVTCPRuleController.h"
#include "Galvent/Tunnel/Provider/GVProviderTrafficInfoCommand.h"
#include "Galvent/Utils/GVNetworkMonitor.h"
#include "Galvent/Utils/GVQueueFactory.h"
#include "Mazzle/MZRawSocketFactory.h"
#include "Mazzle/MZUDPDirectStack.h"
#include "Tovra/Base/TQConstants.h"
#include "Tovra/Base/TQRedact.h"

using platform::netext::ControlError;

namespace {

ControlError toControlError(const TQError& e) {
  return ControlError{e.domain, static_cast<int64_t>(e.code), e.description};
}

}  // namespace

GVPacketTunnelProvider::GVPacketTunnelProvider() : proxyFactory_(&GVPacketProxy::packetProxyWith) {}

GVPacketTunnelProvider::~GVPacketTunnelProvider() {
  kickoffObservation_.reset();
  interfaceObservation_.reset();
}

std::weak_ptr<GVPacketTunnelProvider> GVPacketTunnelProvider::weakSelf() {
  return std::static_pointer_cast<GVPacketTunnelProvider>(shared_from_this());
}

void GVPacketTunnelProvider::setProxyFactory(GVIPPacketStack::ProxyFactory factory) {
  std::lock_guard lock(mutex_);
  proxyFactory_ = std::move(factory);
}

bool GVPacketTunnelProvider::monitoringInterface() const {
  std::lock_guard lock(mutex_);
  return monitoring_;
}

std::shared_ptr<MZTUNInterface> GVPacketTunnelProvider::interface() const {
  std::lock_guard lock(mutex_);
  return interface_;
}

std::shared_ptr<GVIPPacketStack> GVPacketTunnelProvider::mainStack() const {
  std::lock_guard lock(mutex_);
  return mainStack_;
}

std::shared_ptr<MZTCPStack> GVPacketTunnelProvider::tcpStack() const {
  std::lock_guard lock(mutex_);
  return tcpStack_;
}

std::chrono::steady_clock::time_point GVPacketTunnelProvider::startTime() const {
  std::lock_guard lock(mutex_);
  return startTime_;
}

std::shared_ptr<MZProxyServer> GVPacketTunnelProvider::proxyServer() {
  std::lock_guard lock(mutex_);
  if (!proxyServer_) proxyServer_ = std::make_shared<MZProxyServer>(tcpStack_);
  return proxyServer_;
}

void GVPacketTunnelProvider::queueCall(std::function<void()> work) {
  GVQueueFactory::getQueue()->async(std::move(work));
}

std::string GVPacketTunnelProvider::dnsServer() const {
  auto options = GVTunnelOptions::currentOptions();
  return options && options->dnsServer ? *options->dnsServer : std::string();
}

void GVPacketTunnelProvider::setUpLogger() {
  GVLoggerInstallUncaughtExceptionHandler();
  GVLogInfo("Hi logger set up.");
}

void GVPacketTunnelProvider::startTunnel(const nlohmann::json& options,
                                         ErrorCompletion completion) {
  setUpLogger();
  GVLogger::clearExitReasonMark();
  // The options carry the user's session (tokens among them): masked before they are logged.
  GVLogInfo("Options: " +
            tq::redacted(options).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  GVIPPacketStack::ProxyFactory factory;
  {
    std::lock_guard lock(mutex_);
    startTime_ = std::chrono::steady_clock::now();
    factory = proxyFactory_;
  }
  auto stack = GVIPPacketStack::initWithOptions(options, factory);
  {
    std::lock_guard lock(mutex_);
    mainStack_ = stack;
  }
  if (!stack->proxy()) {
    // Ending the process without a word would leave the app waiting for a start that never
    // completes; the failure is reported instead.
    GVLogError("NO proxy matched.");
    if (completion) completion(ControlError{kErrorDomain, kNoProxyMatched, "NO proxy matched."});
    return;
  }
  auto current = GVTunnelOptions::currentOptions();
  auto weak = weakSelf();
  auto& center = platform::notifications::NotificationCenter::defaultCenter();
  if (!(current && current->ignoreHeartbeatKickout.value_or(false))) {
    kickoffObservation_ = center.observe(GVPacketProxyServerKickOff, [weak](const auto& note) {
      if (auto self = weak.lock()) self->serverKickout(note);
    });
  }
  if (current && current->observeInterfaceChange.value_or(false)) {
    interfaceObservation_ = center.observe(GVNetworkInterfaceChanged, [weak](const auto&) {
      if (auto self = weak.lock()) self->interfaceDidChange();
    });
    GVNetworkMonitor::sharedInstance().monitorInterfaceChange();
    std::lock_guard lock(mutex_);
    monitoring_ = true;
  }
  prepareInterface();
  startConnectionWithCompletionHandler([weak, completion](std::optional<ControlError> error) {
    if (error) {
      // Settings that were refused must not stay half in place with no interface behind them.
      if (auto self = weak.lock()) {
        self->setTunnelNetworkSettings(nullptr, nullptr);
        self->queueCall([weak] {
          if (auto s = weak.lock()) s->stopTunInterface();
        });
      }
    }
    if (completion) completion(std::move(error));
  });
}

void GVPacketTunnelProvider::prepareInterface() {
  auto interface = std::make_shared<MZTUNInterface>(packetFlow());
  MZRawSocketFactory::sharedInstance().setTunnelProvider(shared_from_this());
  auto stack = mainStack();
  brevant::DomainTable* domains = nullptr;
  if (stack && stack->proxy() && stack->proxy()->ruleManager())
    domains = &stack->proxy()->ruleManager()->domainTable();
  MZRuleManager::setCurrentManager(std::make_shared<GVTCPRuleController>());
  MZDomainRecorder::setCurrentRecorder(std::make_shared<GVDomainRecorder>(domains));
  auto tcp = MZTCPStack::stack();
  interface->registerStack(stack);
  interface->registerStack(std::make_shared<GVDNSServer>(dnsServer(), domains));
  interface->registerStack(tcp);
  interface->registerStack(std::make_shared<MZUDPDirectStack>());
  std::lock_guard lock(mutex_);
  interface_ = interface;
  tcpStack_ = tcp;
}

void GVPacketTunnelProvider::startConnectionWithCompletionHandler(ErrorCompletion completion) {
  auto stack = mainStack();
  if (!stack) {
    if (completion) completion(ControlError{kErrorDomain, 2, "no packet stack"});
    return;
  }
  auto settings = stack->tunnelNetworkSetting();
  auto weak = weakSelf();
  setTunnelNetworkSettings(&settings, [weak, completion](std::optional<ControlError> error) {
    auto self = weak.lock();
    if (!self) return;
    if (!error) {
      self->queueCall([weak] {
        if (auto s = weak.lock()) s->startTunInterface();
      });
    }
    if (completion) completion(std::move(error));
  });
}

void GVPacketTunnelProvider::startTunInterface() {
  GVLogInfo("Starting Tun Interface!");
  MZRawSocketFactory::sharedInstance().setUp();
  auto server = proxyServer();
  auto tcp = tcpStack();
  if (tcp) {
    server->setStack(tcp);
    tcp->setProxyServer(server);
  }
  if (int rc = server->start(); rc != 0)
    GVLogError("Proxy server did not start: " + std::to_string(rc));
  if (auto interface = this->interface()) interface->start();
}

void GVPacketTunnelProvider::stopTunInterface() {
  GVLogInfo("Stopping Tun Interface!");
  if (auto interface = this->interface()) interface->stop();
  std::shared_ptr<MZProxyServer> server;
  {
    std::lock_guard lock(mutex_);
    server.swap(proxyServer_);
  }
  if (server) server->stop();
  if (auto tcp = tcpStack()) tcp->setProxyServer(nullptr);
}

void GVPacketTunnelProvider::restartTunInterface() {
  GVLogInfo("Restart interface.");
  setReasserting(true);
  auto weak = weakSelf();
  setTunnelNetworkSettings(nullptr, [weak](std::optional<ControlError> error) {
    auto self = weak.lock();
    if (!self) return;
    if (error) {
      GVLogError("Error occurred while setTunnelNetworkSettings: " + error->description);
      self->cancelTunnelWithError(error);
      return;
    }
    self->queueCall([weak] {
      auto s = weak.lock();
      if (!s) return;
      s->startConnectionWithCompletionHandler([weak](std::optional<ControlError> error) {
        auto s2 = weak.lock();
        if (!s2) return;
        if (error) {
          GVLogError("Error occurred while setTunnelNetworkSettings: " + error->description);
          s2->cancelTunnelWithError(error);
        } else {
          s2->setReasserting(false);
        }
      });
    });
  });
}

void GVPacketTunnelProvider::serverKickout(const platform::notifications::Notification& note) {
  std::optional<ControlError> error;
  if (const auto* e = std::any_cast<TQError>(&note.object)) error = toControlError(*e);
  if (!error) error = ControlError{kErrorDomain, 3, "kicked out by the service"};
  cancelTunnelWithError(error);
}

void GVPacketTunnelProvider::interfaceDidChange() {
  GVLogInfo("Interface did change!");
  auto weak = weakSelf();
  queueCall([weak] {
    if (auto s = weak.lock()) {
      s->stopTunInterface();
      s->restartTunInterface();
    }
  });
}

void GVPacketTunnelProvider::interfaceDidNotReachable() {
  GVLogInfo("Interface did not reachable!");
  auto weak = weakSelf();
  queueCall([weak] {
    if (auto s = weak.lock()) s->stopTunInterface();
  });
}

void GVPacketTunnelProvider::stopTunnel(int64_t reason, std::function<void()> completion) {
  if (reason != 1) {
    std::string text = "VPN Stopped by reason: " + std::to_string(reason);
    GVLogInfo(text);
    // A kick-off has already said why the run ends; the stop that follows it keeps that text.
    if (!GVLogger::exitReasonWritten()) GVLogger::logVPNExitReason(text);
  }
  kickoffObservation_.reset();
  interfaceObservation_.reset();
  std::shared_ptr<MZTUNInterface> interface;
  std::shared_ptr<MZProxyServer> server;
  {
    std::lock_guard lock(mutex_);
    interface.swap(interface_);
    server.swap(proxyServer_);
  }
  if (interface) interface->terminal();
  // The listener and its relays end with the tunnel, not at process exit.
  if (server) server->stop();
  if (monitoringInterface()) GVNetworkMonitor::sharedInstance().stopMonitoring();
  if (completion) completion();
}

void GVPacketTunnelProvider::handleAppMessage(const std::string& data, ReplyCompletion completion) {
  if (data != GVProviderTrafficInfoCommand) {
    if (completion) completion(std::nullopt);
    return;
  }
  auto stack = mainStack();
  auto proxy = stack ? stack->proxy() : nullptr;
  auto group = proxy && proxy->flowManager() ? proxy->flowManager()->lastFlowGroup() : nullptr;
  if (!proxy || !group) {
    // Answered at once with nothing, so the asking side never waits on a query that cannot be
    // answered.
    if (completion) completion(std::nullopt);
    return;
  }
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime()).count();
  auto info = GVTrafficInfo::make(elapsed, proxy->rxBytes(), proxy->txbytes(),
                                  group->heartbeatSent(), group->heartbeatRecived(),
                                  group->heartbeatDelay(), proxy->trafficRecords());
  if (completion) completion(tq::toJSON(info));
}

void GVPacketTunnelProvider::sleep(std::function<void()> completion) {
  GVLogWarn("VPN Sleep called.");
  if (completion) completion();
}

void GVPacketTunnelProvider::wake() { GVLogWarn("VPN Wake called."); }
