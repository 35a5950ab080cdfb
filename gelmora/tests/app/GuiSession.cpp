#include "GuiSession.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/REST/CurlTransport.h"
#include "gelmora/Core/Log.h"
#include "platform/keychain/FileBackend.h"
#include "platform/keychain/Keychain.h"

namespace gelmora::test {

namespace {

// The brand with every host on the session's stand-ins.
class StandinEnvironment : public AppOxlaEnvironment {
 public:
  StandinEnvironment(const std::string& account, const std::string& feedback,
                     const std::string& analytics, const standin::GeoStandin& geo) {
    for (const char* key : {"Q4ServiceDomain", "Q5ServiceDomain", "WebDomain", "H5Domain"})
      assign(key, account);
    for (const char* key :
         {"StandbyServiceDomain1", "StandbyServiceDomain2", "StandbyServiceDomain3"})
      assign(key, "");
    assign("FDServiceDomain", feedback);
    assign(kAnalyticsURL, analytics);
    std::string host = geo.serviceUrl().substr(7);  // "http://" ... "/"
    assign(kGeoServiceHost, host.substr(0, host.size() - 1));
    assign(kGeoTaobaoURL, geo.taobaoUrl());
    assign(kGeoIpipURL, geo.echoUrl());
    assign(kIPEchoURL, geo.echoUrl());
  }
};

}  // namespace

GuiSession::GuiSession() {
  char tmpl[] = "/tmp/gui-session-XXXXXX";
  if (!::mkdtemp(tmpl)) return;
  folder_ = tmpl;
  TQAPIConfig::sharedInstance().reset();
  platform::keychain::installBackend(
      std::make_shared<platform::keychain::FileBackend>(folder_ / "keychain.json"));
  if (!account.start() || !feedback.start() || !analytics.start() || !geo.start()) {
    gelmora::logLine("gui session: a stand-in did not start");
    return;
  }
  standin::account::Account seeded;
  seeded.username = kUsername;
  seeded.email = kMail;
  seeded.password = kPassword;
  account.addAccount(seeded);
  // No feedback page unless a test asks for one.
  feedback.scriptPayloads("/api/v1/feedback/list", {{{"login", ""}}});

  environment_ =
      std::make_shared<StandinEnvironment>(account.host(), feedback.host(), analytics.url(), geo);
  AppEnvironment::setCurrentEnvironment(environment_);
  set_JVXDomain(account.host());
  set_JVXFDDomain(feedback.host());
  JVXServiceEngine::sharedEngine().setFastAPIMode(false);

  defaults_ = std::make_unique<AppUserDefaults>(
      std::make_shared<platform::defaults::Store>(folder_ / "defaults.json"));
  defaults_->setClientIdProvider([] { return std::string("CID"); });
  user_ = std::make_unique<TsUserController>(*defaults_);
  MeasurementProtocolClient::Configuration config;
  config.trackingId = "UA-TEST-1";
  config.endpoint = analytics.url();
  analyticsService_ = std::make_unique<TsAnalyticsService>(
      *defaults_, *user_,
      std::make_unique<MeasurementProtocolClient>(config, tq::CurlTransport::shared()));
  ready_ = true;
}

GuiSession::~GuiSession() {
  analyticsService_.reset();
  user_.reset();
  AppEnvironment::setCurrentEnvironment(nullptr);
  TQAPIConfig::sharedInstance().reset();
  account.stop();
  feedback.stop();
  analytics.stop();
  geo.stop();
  std::error_code ec;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

bool GuiSession::signIn(int timeoutMs) {
  bool done = false, ok = false;
  auto sub = user_->signinWithPhone(kUsername, "", kPassword, false)
                 .subscribe({[](const JVX_USER_INFO&) {},
                             [&](const platform::reactive::Error& e) {
                               gelmora::logLine("gui session: sign-in failed: " + e.description);
                               done = true;
                             },
                             [&] { done = ok = true; }});
  QElapsedTimer clock;
  clock.start();
  while (!done && clock.elapsed() < timeoutMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  sub.dispose();
  return ok && user_->status() != TsUserStatusNone;
}

}  // namespace gelmora::test
