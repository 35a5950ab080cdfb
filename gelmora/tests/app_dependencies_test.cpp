// The start-up container: brand installation, fail-over across service hosts, start-up
// parameters, the global handlers and header builder, receipt upload and the order of set-up.
#include <cstdlib>

#include "Galvent/Category/RAC.h"
#include "SessionTestSupport.h"
#include "Tovra/Codec/Base64.h"
#include "gelmora/Application/AppDependencies.h"
#include "gelmora/Core/AccelerationController.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/BHAppPackage.h"
#include "standin/HttpStandin.h"

namespace {

struct Sheet {
  bool error;
  std::optional<std::string> message;
  std::optional<std::string> info;
  AlertSheetPresenter::Completion done;
};

struct Recorder : AlertSheetPresenter,
                  WebDataStore,
                  RootViewControllerFactory,
                  UrlOpener,
                  ProcessControl {
  struct Root : RootViewController {};

  void showErrorSheet(std::optional<std::string> m, std::optional<std::string> i) override {
    if (onErrorSheet) onErrorSheet();
    sheets.push_back({true, std::move(m), std::move(i), nullptr});
  }
  void showSheet(std::optional<std::string> m, std::optional<std::string> i,
                 Completion done) override {
    sheets.push_back({false, std::move(m), std::move(i), std::move(done)});
  }
  void removeAllWebsiteData(std::function<void(const std::string&)> removed) override {
    ++clears;
    removed("example.org");
  }
  std::shared_ptr<RootViewController> create() override {
    if (onCreate) onCreate();
    return std::make_shared<Root>();
  }
  void openURL(const std::string& url) override { opened.push_back(url); }
  void exit(int status) override { exits.push_back(status); }

  std::vector<Sheet> sheets;
  int clears = 0;
  std::vector<std::string> opened;
  std::vector<int> exits;
  std::function<void()> onCreate;
  std::function<void()> onErrorSheet;
};

// Records what set-up hands the acceleration controller.
struct VpnRecorder : AccelerationController {
  platform::reactive::Signal<bool> start() override {
    return platform::reactive::Signal<bool>::empty();
  }
  void stop() override {}
  void sendStopCMD(std::function<void()> done) override {
    if (done) done();
  }
  long long status() const override { return prepared ? 1 : 0; }
  void setAlertPresenter(AlertSheetPresenter* p) override { presenter = p; }
  void prepare() override { ++prepared; }
  AlertSheetPresenter* presenter = nullptr;
  int prepared = 0;
};

class TestEnvironment : public AppOxlaEnvironment {
 public:
  TestEnvironment(const std::vector<std::string>& hosts, const std::string& fd) {
    assign("Q5ServiceDomain", hosts.at(0));
    assign("StandbyServiceDomain1", hosts.at(1));
    assign("StandbyServiceDomain2", hosts.at(2));
    assign("StandbyServiceDomain3", hosts.at(3));
    assign("FDServiceDomain", fd);
    assign("WebDomain", "www.test.example");
  }
};

// A loopback address nobody listens on.
std::string closedHost() {
  standin::HttpStandin s;
  EXPECT_TRUE(s.start());
  std::string host = s.hostPort();
  s.stop();
  return host;
}

constexpr const char* kStartup = "/q5client/parameters/startup";

class AppDependenciesTest : public SessionFixture {
 protected:
  std::unique_ptr<AppDependencies> make(std::vector<std::string> hosts) {
    AppDependencies::Collaborators c;
    c.alerts = &rec;
    c.webData = &rec;
    c.rootFactory = &rec;
    c.urlOpener = &rec;
    c.process = &rec;
    c.user = user.get();
    c.defaults = defaults.get();
    c.vpn = &vpn;
    c.receiptPath = tmp.path() / "receipt";
    std::string fd = feedback.host();
    c.makeEnvironment = [hosts, fd] { return std::make_shared<TestEnvironment>(hosts, fd); };
    return std::make_unique<AppDependencies>(std::move(c));
  }
  void TearDown() override {
    deps.reset();
    AppEnvironment::setCurrentEnvironment(nullptr);
    SessionFixture::TearDown();
  }

  Recorder rec;
  VpnRecorder vpn;
  std::unique_ptr<AppDependencies> deps;
};

TEST_F(AppDependenciesTest, FourRefusingHostsEndBackAtTheFirst) {
  std::vector<std::string> hosts = {closedHost(), closedHost(), closedHost(), closedHost()};
  deps = make(hosts);
  deps->setUpBrandSpec();
  EXPECT_EQ(JVXDomain(), hosts[0]);
  EXPECT_EQ(JVXFDDomain(), feedback.host());
  deps->setUpAPI();
  EXPECT_FALSE(deps->launchParamsSettled());
  // Settled only once the last host has failed too: the state is taken as each sheet is shown,
  // since refusals come back faster than one pump of the queue.
  std::vector<bool> settledAtSheet;
  rec.onErrorSheet = [&] { settledAtSheet.push_back(deps->launchParamsSettled()); };
  deps->checkLaunchParams();
  // One error sheet per failed attempt.
  ASSERT_TRUE(main.queue().runUntil([&] { return rec.sheets.size() >= 4; }));
  settle();
  ASSERT_EQ(settledAtSheet.size(), 4u);
  for (size_t i = 0; i < 3; ++i) EXPECT_FALSE(settledAtSheet[i]) << "sheet " << i;
  EXPECT_TRUE(deps->launchParamsSettled());
  EXPECT_EQ(rec.sheets.size(), 4u);
  for (const auto& s : rec.sheets) EXPECT_TRUE(s.error);
  EXPECT_EQ(deps->domainIndex(), 4);
  EXPECT_EQ(JVXDomain(), hosts[0]);
}

TEST_F(AppDependenciesTest, FailOverSkipsEmptyStandbyHosts) {
  struct Case {
    const char* name;
    std::vector<std::string> hosts;  // "UP" is the stand-in, "DOWN" a closed port
    size_t sheets;
    std::string domain;
  } cases[] = {
      {"second answers", {"DOWN", "UP", "", ""}, 1, "UP"},
      {"empty one skipped", {"DOWN", "", "UP", ""}, 1, "UP"},
      {"brand without standby hosts", {"DOWN", "", "", ""}, 1, "DOWN"},
      {"first answers", {"UP", "DOWN", "DOWN", "DOWN"}, 0, "UP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string down = closedHost();
    std::vector<std::string> hosts;
    for (const auto& h : c.hosts)
      hosts.push_back(h == "UP" ? account.host() : h == "DOWN" ? down : h);
    rec.sheets.clear();
    account.clearRequests();
    account.scriptPayloads(kStartup, {{{"minimal_version", "0.0.1"}, {"payable", 1}}});
    user->setPayable(false);
    deps = make(hosts);
    deps->setUpBrandSpec();
    deps->setUpAPI();
    deps->checkLaunchParams();
    if (c.domain == "UP") {
      ASSERT_TRUE(main.queue().runUntil([&] { return user->payable(); }));
    } else {
      ASSERT_TRUE(main.queue().runUntil([&] { return rec.sheets.size() >= c.sheets; }));
    }
    settle();
    EXPECT_TRUE(deps->launchParamsSettled());
    EXPECT_EQ(seen(account, kStartup).size(), c.domain == "UP" ? 1u : 0u);
    EXPECT_EQ(rec.sheets.size(), c.sheets);
    EXPECT_EQ(JVXDomain(), c.domain == "UP" ? account.host() : down);
  }
}

TEST_F(AppDependenciesTest, StartupRequestAndSevenHeaders) {
  account.scriptPayloads(kStartup, {{{"minimal_version", "0.0.1"}}});
  deps = make({account.host(), "", "", ""});
  deps->setUpBrandSpec();
  deps->setUpAPI();
  deps->checkLaunchParams();
  ASSERT_TRUE(waitFor(account, kStartup, 1));
  // A second call of another kind carries the same headers.
  user->refreshUserProfile();
  ASSERT_TRUE(waitFor(account, "/q5client/user/profile", 1));
  for (const auto& r : account.requests()) {
    SCOPED_TRACE(r.path);
    auto h = r.headers;
    EXPECT_EQ(h["Client-Version"], app().version());
    EXPECT_EQ(h["System-Plat"], "pc");
    EXPECT_EQ(h["Platform"], "OSX-MAS");
    EXPECT_EQ(h["Language"], *app().language());
    EXPECT_EQ(h["Brand"], "dravik");
    EXPECT_EQ(h["System"], "OS X");
    EXPECT_FALSE(h["Os-Version"].empty());
  }
  auto startup = seen(account, kStartup);
  EXPECT_EQ((*startup[0].info)["platform"], "OSX-MAS");
  EXPECT_EQ((*startup[0].info)["client_version"], app().version());
  EXPECT_EQ((*startup[0].info)["language"], *app().language());
}

TEST_F(AppDependenciesTest, StartupParametersAreStored) {
  struct Case {
    nlohmann::json answer;
    bool payable, iap;
    std::string recommend;
  } cases[] = {
      {{{"payable", 1}, {"enable_iap", 1}, {"recommend_url", "http://r.example"}},
       true,
       true,
       "http://r.example"},
      {{{"payable", 2}, {"enable_iap", 0}}, false, false, ""},
      {{{"payable", "1"}, {"enable_iap", "x"}, {"recommend_url", ""}}, true, false, ""},
  };
  deps = make({account.host(), "", "", ""});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.dump());
    auto answer = tq::fromDictionary<JVX_RESP_PARAMETERS_STARTUP>(c.answer);
    ASSERT_TRUE(answer);
    deps->processLaunchParams(*answer);
    EXPECT_EQ(user->payable(), c.payable);
    EXPECT_EQ(user->enableIAP(), c.iap);
    EXPECT_EQ(defaults->recommendURL(), c.recommend);
    EXPECT_EQ(defaults->backgroundImageURL(), "");
  }
  EXPECT_TRUE(rec.sheets.empty());  // no minimal version: nothing to compare against
}

TEST_F(AppDependenciesTest, UpgradeMessage) {
  deps = make({account.host(), "", "", ""});
  AppEnvironment::setCurrentEnvironment(
      std::make_shared<TestEnvironment>(std::vector<std::string>{"a", "", "", ""}, "f"));
  JVX_RESP_PARAMETERS_STARTUP same;
  same.minimal_version = app().version();
  deps->processLaunchParams(same);
  EXPECT_TRUE(rec.sheets.empty());

  JVX_RESP_PARAMETERS_STARTUP higher;
  higher.minimal_version = "999.0";
  higher.news_title = "news";
  higher.payable = 1;
  deps->processLaunchParams(higher);
  ASSERT_EQ(rec.sheets.size(), 1u);
  EXPECT_FALSE(rec.sheets[0].error);
  EXPECT_FALSE(rec.sheets[0].message);  // empty title dropped
  EXPECT_EQ(rec.sheets[0].info, "当前版本过低，请升级后使用");
  // The sheet does not block: the rest is stored at once.
  EXPECT_EQ(user->newsTitle(), "news");
  EXPECT_TRUE(user->payable());
  EXPECT_TRUE(rec.opened.empty());
  rec.sheets[0].done(1000);
  EXPECT_EQ(rec.opened, std::vector<std::string>{"http://www.test.example"});
  EXPECT_EQ(rec.exits, std::vector<int>{0});
}

TEST_F(AppDependenciesTest, GlobalHandlers) {
  deps = make({account.host(), "", "", ""});
  deps->setUpBrandSpec();
  deps->setUpAPI();
  signIn();
  rec.sheets.clear();
  posted.clear();

  auto fail = [&](auto call, nlohmann::json answer) {
    account.scriptAnswers(std::decay_t<decltype(*call)>::kPath, {answer});
    return run(RAC::rac_send(call));
  };
  // Silent: nothing at all, not even a server command.
  auto silent = std::make_shared<JVX_API_USER_PROFILE>();
  silent->setSilence(true);
  fail(silent, {{"code", 101}, {"info", "signed out"}});
  EXPECT_TRUE(rec.sheets.empty());
  EXPECT_TRUE(user->online());

  // Top-up command: an alert and the notification.
  fail(std::make_shared<JVX_API_USER_PROFILE>(), {{"code", 102}, {"info", "no traffic"}});
  ASSERT_EQ(rec.sheets.size(), 1u);
  EXPECT_TRUE(rec.sheets[0].error);
  EXPECT_EQ(rec.sheets[0].message, "no traffic");
  EXPECT_EQ(count(TsUserCenterTopupNotification), 1u);

  // A heartbeat that is not silent shows nothing but still obeys the sign-out command.
  fail(std::make_shared<JVX_API_USER_HEARTBEAT>(), {{"code", 101}, {"info", "signed out"}});
  EXPECT_EQ(rec.sheets.size(), 1u);
  EXPECT_FALSE(user->online());
  EXPECT_EQ(count(TsUserStateChangedNotification), 1u);
}

TEST_F(AppDependenciesTest, PopUpsAndFeedbackAddresses) {
  deps = make({account.host(), "", "", ""});
  deps->setUpBrandSpec();
  deps->setUpAPI();
  struct Case {
    const char* name;
    nlohmann::json payload;
    size_t sheets;
    std::vector<std::string> opened;
    size_t feedbackPosts;
  } cases[] = {
      {"pop with content",
       {{"pop", 1}, {"pop_title", "T"}, {"pop_content", "C"}, {"pop_url", "https://p.example/x"}},
       1,
       {"https://p.example/x"},
       0},
      {"pop address of another scheme",
       {{"pop", 1}, {"pop_content", "C"}, {"pop_url", "file:///etc/passwd"}},
       1,
       {},
       0},
      {"pop without content", {{"pop", 1}, {"pop_content", ""}}, 0, {}, 0},
      {"no pop", {{"pop", 0}, {"pop_content", "C"}}, 0, {}, 0},
      {"http feedback", {{"feedback", "http://fb.example/f"}}, 0, {}, 1},
      {"file feedback", {{"feedback", "file:///etc/passwd"}}, 0, {}, 0},
      {"javascript feedback", {{"feedback", "javascript:alert(1)"}}, 0, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rec.sheets.clear();
    rec.opened.clear();
    posted.clear();
    std::optional<std::string> feedbackObject;
    auto token = center().observe(TsUserFeedbackNotification,
                                  [&](const platform::notifications::Notification& n) {
                                    feedbackObject = std::any_cast<std::string>(n.object);
                                  });
    account.scriptPayloads("/q5client/user/logout", {c.payload});
    run(RAC::rac_send(std::make_shared<JVX_API_USER_LOGOUT>()));
    ASSERT_EQ(rec.sheets.size(), c.sheets);
    for (auto& s : rec.sheets) {
      EXPECT_FALSE(s.error);
      EXPECT_EQ(s.info, "C");
      s.done(1000);
    }
    EXPECT_EQ(rec.opened, c.opened);
    EXPECT_EQ(count(TsUserFeedbackNotification), c.feedbackPosts);
    if (c.feedbackPosts) {
      EXPECT_EQ(feedbackObject, c.payload["feedback"].get<std::string>());
    }
  }
}

TEST_F(AppDependenciesTest, ErrorPopUpReplacesTheErrorAlert) {
  deps = make({account.host(), "", "", ""});
  deps->setUpBrandSpec();
  deps->setUpAPI();
  signIn();
  rec.sheets.clear();
  account.setPop(true);
  account.scriptAnswers(
      "/q5client/user/profile",
      {{{"code", 101}, {"info", "signed out"}, {"data", {{"pop", 1}, {"pop_content", "Bye"}}}}});
  run(RAC::rac_send(std::make_shared<JVX_API_USER_PROFILE>()));
  ASSERT_EQ(rec.sheets.size(), 1u);
  EXPECT_TRUE(rec.sheets[0].error);
  EXPECT_EQ(rec.sheets[0].message, "Bye");
  // The sign-out command runs even though a pop-up was shown.
  EXPECT_FALSE(user->online());
}

TEST_F(AppDependenciesTest, ReceiptUpload) {
  std::string receipt(300, '\0');
  for (size_t i = 0; i < receipt.size(); ++i) receipt[i] = static_cast<char>(i * 7);
  struct Case {
    const char* name;
    bool signedIn, file;
  } cases[] = {{"user and file", true, true}, {"no user", false, true}, {"no file", true, false}};
  deps = make({account.host(), "", "", ""});
  deps->setUpBrandSpec();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(tmp.path() / "receipt");
    if (c.file) tmp.write("receipt", receipt);
    user->setSession(std::nullopt);
    if (c.signedIn) signIn();
    account.clearRequests();
    account.scriptPayloads("/q5client/iap/finish-payment", {{{"order_id", "o1"}}});
    deps->checkReceipt();
    if (c.signedIn && c.file) {
      ASSERT_TRUE(waitFor(account, "/q5client/iap/finish-payment", 1));
      auto req = *seen(account, "/q5client/iap/finish-payment")[0].info;
      std::string text = req["receipt"];
      EXPECT_EQ(text.find('\n'), std::string::npos);
      EXPECT_EQ(tq::base64Decode(text), receipt);
      EXPECT_EQ(req["uid"], 10001);
      EXPECT_FALSE(req.contains("order_id"));
    } else {
      settle();
      EXPECT_TRUE(seen(account, "/q5client/iap/finish-payment").empty());
    }
  }
}

TEST_F(AppDependenciesTest, SetUpAllCreatesTheRootViewLast) {
  auto session = GVTsSession::initWithUserInfo(tq::fromDictionary<JVX_USER_INFO>(accountPayload()));
  defaults->setSessionData(tq::toJSON(*session));
  tmp.write("receipt", "r");
  account.scriptPayloads(kStartup, {{{"minimal_version", "0.0.1"}}});
  account.scriptPayloads("/q5client/user/login", {accountPayload()});
  deps = make({account.host(), "", "", ""});
  bool created = false;
  rec.onCreate = [&] {
    created = true;
    EXPECT_EQ(AppEnvironment::currentEnvironment()->WebDomain(), "www.test.example");
    EXPECT_TRUE(TQAPIConfig::sharedInstance().globalFailedHandler());
    EXPECT_EQ(rec.clears, 1);
    EXPECT_EQ(user->loginType(), TsUserLoginTypeToken);  // the stored sign-in was started
    EXPECT_TRUE(app().language());
    // The acceleration controller has its alert window and left status 0.
    EXPECT_EQ(vpn.presenter, &rec);
    EXPECT_EQ(vpn.prepared, 1);
  };
  deps->setUpAll();
  EXPECT_TRUE(created);
  EXPECT_TRUE(deps->rootViewController());
  ASSERT_TRUE(waitFor(account, "/q5client/iap/finish-payment", 1));
  ASSERT_TRUE(waitFor(account, kStartup, 1));
  ASSERT_TRUE(main.queue().runUntil([&] { return user->status() == TsUserStatusNormal; }));
  deps.reset();
  EXPECT_EQ(vpn.presenter, nullptr);
}

TEST(LanguageCode, Rule) {
  struct Case {
    const char *P, *L, *C, *code;
  } cases[] = {{"zh-Hans-CN", "zh", "CN", "zh-CN"},
               {"zh-Hant-HK", "zh", "HK", "zh-TW"},
               {"en-GB", "en", "GB", "en-US"},
               {"fr-CA", "fr", "CA", "fr"},
               {"nl-NL", "nl", "NL", "en-US"},
               {"zh-Hans", "zh", "", "zh-CN"},
               {"zh-Hant", "zh", "", "zh-TW"},
               {"zh-TW", "zh", "TW", "zh-TW"},
               {"ja-JP", "ja", "JP", "ja"},
               {"pt-BR", "pt", "BR", "pt"},
               {"", "", "", "en-US"}};
  for (const auto& c : cases) {
    EXPECT_EQ(AppDependencies::languageCode(c.P, c.L, c.C), c.code) << c.P;
  }
}

TEST(LanguageCode, FromTheLocaleVariables) {
  struct Case {
    const char *language, *lcAll, *lang, *P, *L, *C;
  } cases[] = {
      {"", "", "zh_TW.UTF-8", "zh-TW", "zh", "TW"},
      {"fr_CA:en", "de_DE.UTF-8", "", "fr-CA", "fr", "CA"},
      {"", "de_DE.UTF-8@euro", "en_US.UTF-8", "de-DE", "de", "DE"},
      {"", "", "C", "en-US", "en", "US"},
      {"", "", "POSIX", "en-US", "en", "US"},
      {"", "", "", "en-US", "en", "US"},
      {"", "", "sr_RS@latin", "sr-RS", "sr", "RS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lang);
    ::setenv("LANGUAGE", c.language, 1);
    ::setenv("LC_ALL", c.lcAll, 1);
    ::unsetenv("LC_MESSAGES");
    ::setenv("LANG", c.lang, 1);
    std::string P, L, C;
    AppDependencies::preferredLanguage(P, L, C);
    EXPECT_EQ(P, c.P);
    EXPECT_EQ(L, c.L);
    EXPECT_EQ(C, c.C);
  }
}

}  // namespace
