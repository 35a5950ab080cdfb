#include "gelmora/Core/TsVPNController.h"

#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"

namespace rx = platform::reactive;

TsVPNController::Resolvers TsVPNController::defaultResolvers() {
  Resolvers r{"223.5.5.5", GVDefaultDnsServer};
  if (auto env = app().env()) {
    if (auto v = env->setting("TunnelDnsServerChina"); !v.empty()) r.china = v;
    if (auto v = env->setting("TunnelDnsServer"); !v.empty()) r.other = v;
  }
  return r;
}

TsVPNController& TsVPNController::sharedInstance() {
  // Lives for the whole run; never destroyed, so no observer outlives what it calls.
  static TsVPNController* c = new TsVPNController(app().user());
  return *c;
}

TsVPNController::TsVPNController(TsUserController& user, std::shared_ptr<GVTsVPNController> vpn,
                                 Resolvers resolvers)
    : user_(user),
      vpn_(vpn ? std::move(vpn)
               : std::make_shared<GVTsVPNController>(kProviderIdentifier, kServerAddress,
                                                     kServerDescription)),
      resolvers_(std::move(resolvers)) {
  resign_ = platform::notifications::NotificationCenter::defaultCenter().observe(
      TsUserWillResignNotification, [this](const auto&) {
        if (vpn_->status() == platform::netext::VpnStatus::Connected) stop();
      });
}

TsVPNController::~TsVPNController() { resign_ = {}; }

void TsVPNController::loadVPNManagerPreferences() { vpn_->loadVPNManagerPreferences(); }

long long TsVPNController::status() const { return static_cast<long long>(vpn_->status()); }

GVTunnelOptions TsVPNController::tunnelOptions() const {
  GVTunnelOptions options = GVTunnelOptions::defaultOptions();
  options.logEnable = false;
  options.globalProxy = false;
  options.groupIdentifier = kProviderIdentifier;
  options.ipDataFile = kIpDataFile;
  const auto& session = user_.session();
  const bool fromChina = session && session->fromChina.value_or(false);
  options.dnsServer = fromChina ? resolvers_.china : resolvers_.other;
  return options;
}

std::shared_ptr<GVTsSession> TsVPNController::userSession() const {
  const auto& session = user_.session();
  return session ? std::make_shared<GVTsSession>(*session) : nullptr;
}

rx::Signal<bool> TsVPNController::start() {
  GVTunnelOptions options = tunnelOptions();
  if (auto& session = user_.mutableSession()) session->baseDomain = JVXDomain();
  // The engine works on its own copy; the rule-list answer it stores there (the run's flow id)
  // goes back into the user's session, which is then saved.
  auto session = userSession();
  TsUserController* user = &user_;
  return vpn_->startSession(session, options)
      .map([](const GVLaunchOptions&) { return true; })
      .doCompleted([user, session] {
        if (session && user->session()) {
          user->mutableSession() = *session;
          user->saveSession();
        }
      });
}

void TsVPNController::stop() {
  // The tunnel stops at once; the end report runs on without anyone waiting for it.
  vpn_->stopSession(userSession()).subscribe(rx::Observer<nlohmann::json>{});
}

void TsVPNController::sendStopCMD(std::function<void()> done) {
  TsUserController* user = &user_;
  auto finish = std::make_shared<std::function<void()>>(std::move(done));
  auto once = [finish] {
    if (auto f = std::exchange(*finish, nullptr)) f();
  };
  vpn_->stopSession(userSession())
      .then([user] { return user->resign(); })
      .subscribe({nullptr, [once](const rx::Error&) { once(); }, [once] { once(); }});
}
