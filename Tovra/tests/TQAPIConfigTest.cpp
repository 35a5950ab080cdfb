#include <gtest/gtest.h>
#include <platform/keychain/FileBackend.h>
#include <platform/notifications/NotificationCenter.h>
#include <stdlib.h>

#include <filesystem>

#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/Base/TQConstants.h"
#include "Tovra/Base/TQLogger.h"
#include "Tovra/Base/TQRedact.h"

namespace {

namespace pn = platform::notifications;
namespace kc = platform::keychain;

// Counts posts of the header notification for the life of the fixture.
class TQAPIConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TQAPIConfig::sharedInstance().reset();
    observation = pn::NotificationCenter::defaultCenter().observe(
        TQAPIConfigGlobalHeaderChanged, [this](const pn::Notification& n) {
          ++posts;
          EXPECT_FALSE(n.object.has_value());
        });
  }
  void TearDown() override { TQAPIConfig::sharedInstance().reset(); }

  TQAPIConfig& config = TQAPIConfig::sharedInstance();
  int posts = 0;
  pn::Observation observation;
};

TEST_F(TQAPIConfigTest, FreshConfiguration) {
  EXPECT_EQ(&TQAPIConfig::sharedInstance(), &config);
  EXPECT_TRUE(config.context().empty());
  EXPECT_TRUE(config.globalHeaders().empty());
  EXPECT_FALSE(config.globalHeaderBuilder());
  EXPECT_FALSE(config.globalSuccessHandler());
  EXPECT_FALSE(config.globalFailedHandler());
  EXPECT_FALSE(config.useSSL());
  EXPECT_FLOAT_EQ(config.timeoutInterval(), 60.0f);
}

TEST_F(TQAPIConfigTest, ConfigValuesSetReadAndRemove) {
  config.setConfigValue("host:1", "JVXDomain");
  EXPECT_EQ(config.configValueForKey("JVXDomain"), "host:1");
  EXPECT_FALSE(config.configValueForKey("other"));
  config.setConfigValue(std::nullopt, "JVXDomain");
  EXPECT_FALSE(config.configValueForKey("JVXDomain"));
  EXPECT_TRUE(config.context().empty());
}

TEST_F(TQAPIConfigTest, HeaderValuesPostChangesButEmptyKeyDoesNothing) {
  config.setGlobalHeaderValue("v", "");
  EXPECT_EQ(posts, 0);
  EXPECT_TRUE(config.globalHeaders().empty());
  config.setGlobalHeaderValue("1", "X-A");
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(config.globalHeaders().at("X-A"), "1");
  config.setGlobalHeaderValue(std::nullopt, "X-A");
  EXPECT_EQ(posts, 2);
  EXPECT_TRUE(config.globalHeaders().empty());
}

TEST_F(TQAPIConfigTest, HeaderBuilderRunsOnceOnTheLiveHeaders) {
  config.setGlobalHeaderValue("old", "X-Keep");
  int runs = 0;
  config.setGlobalHeaderBuilder([&](TQAPIConfig::HeaderMap& h) {
    ++runs;
    h["X-Built"] = "b";
    h["X-Keep"] = "changed";
  });
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(posts, 2);
  EXPECT_EQ(config.globalHeaders().at("X-Built"), "b");
  EXPECT_EQ(config.globalHeaders().at("X-Keep"), "changed");
  config.setGlobalHeaderValue("x", "X-Other");
  EXPECT_EQ(runs, 1) << "the builder is not run again later";
  EXPECT_TRUE(config.globalHeaderBuilder());
}

// Keychain back ends for the device identifier.
class FailingBackend : public kc::Backend {
 public:
  std::optional<std::string> password(std::string_view, std::string_view) override {
    ++reads;
    return std::nullopt;
  }
  bool setPassword(std::string_view, std::string_view, std::string_view) override {
    ++writes;
    return false;
  }
  bool deletePassword(std::string_view, std::string_view) override { return false; }
  std::string name() const override { return "failing"; }
  int reads = 0;
  int writes = 0;
};

class UserIdentifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovra-keychain-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir = tmpl;
    file = std::make_shared<kc::FileBackend>(dir / "items.json");
    kc::installBackend(file);
    TQAPIConfig::sharedInstance().reset();
  }
  void TearDown() override {
    kc::installBackend(nullptr);
    TQAPIConfig::sharedInstance().reset();
    std::filesystem::remove_all(dir);
  }
  std::filesystem::path dir;
  std::shared_ptr<kc::FileBackend> file;
};

TEST_F(UserIdentifyTest, AppItemWinsAndNothingIsWritten) {
  ASSERT_TRUE(file->setPassword("APP-ID", "TsAPI", "userIdentify"));
  ASSERT_TRUE(file->setPassword("LIB-ID", "TQAPI", "userIdentify"));
  EXPECT_EQ(TQAPIConfig::sharedInstance().userIdentify(), "APP-ID");
  ASSERT_TRUE(file->deletePassword("TsAPI", "userIdentify"));
  EXPECT_EQ(TQAPIConfig::sharedInstance().userIdentify(), "LIB-ID");
  EXPECT_FALSE(file->password("TsAPI", "userIdentify"));
}

TEST_F(UserIdentifyTest, NewIdentifierIsAnUpperCaseUuidStoredOnce) {
  std::string first = TQAPIConfig::sharedInstance().userIdentify();
  ASSERT_EQ(first.size(), 36u);
  for (size_t i = 0; i < first.size(); ++i) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    char c = first[i];
    EXPECT_TRUE(hyphen ? c == '-' : ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) << first;
  }
  EXPECT_EQ(file->password("TQAPI", "userIdentify"), first);
  EXPECT_EQ(TQAPIConfig::sharedInstance().userIdentify(), first);
}

TEST_F(UserIdentifyTest, FailedWriteKeepsTheIdentifierForTheProcess) {
  auto failing = std::make_shared<FailingBackend>();
  kc::installBackend(failing);
  std::string first = TQAPIConfig::sharedInstance().userIdentify();
  EXPECT_EQ(TQAPIConfig::sharedInstance().userIdentify(), first);
  EXPECT_EQ(TQAPIConfig::sharedInstance().userIdentify(), first);
  EXPECT_EQ(failing->writes, 1);
  EXPECT_EQ(first.size(), 36u);
}

// Collects log lines.
class RecordingLogger : public TQLoggerProtocol {
 public:
  void logInfo(const std::string& t) override { lines.push_back("I " + t); }
  void logWarn(const std::string& t) override { lines.push_back("W " + t); }
  void logError(const std::string& t) override { lines.push_back("E " + t); }
  std::vector<std::string> lines;
};

TEST(TQLoggerTest, SlotIsEmptyUntilSetAndReceivesLines) {
  EXPECT_FALSE(TQLogger::logger());
  tq::logInfo("nowhere");  // no logger: nothing happens
  auto rec = std::make_shared<RecordingLogger>();
  TQLogger::setLogger(rec);
  tq::logInfo("a");
  tq::logWarn("b");
  tq::logError("c");
  TQLogger::setLogger(nullptr);
  EXPECT_EQ(rec->lines, (std::vector<std::string>{"I a", "W b", "E c"}));
  TQLogger syslogWriter;
  syslogWriter.logInfo("tovra test line\nwith a break");  // must not crash
}

TEST(TQRedactTest, SecretsAreMaskedAtAnyDepth) {
  auto in = nlohmann::json::parse(R"({
    "email":"a@b.c","password":"p","new_password":"q","token":"t",
    "nested":{"list":[{"login_token":"x","sms_code":"1","keep":2}]},
    "code":"123456","info":"ENCIPHERED","receipt_data":"r","access_token":"a",
    "auth_code":"c","verify_code":"v","checkcode":"k","receipt":"r"})");
  auto out = tq::redacted(in);
  EXPECT_EQ(out["email"], "a@b.c");
  EXPECT_EQ(out["nested"]["list"][0]["keep"], 2);
  for (const char* k : {"password", "new_password", "token", "code", "info", "receipt_data",
                        "access_token", "auth_code", "verify_code", "checkcode", "receipt"}) {
    EXPECT_EQ(out[k], "***") << k;
  }
  EXPECT_EQ(out["nested"]["list"][0]["login_token"], "***");
  EXPECT_EQ(out["nested"]["list"][0]["sms_code"], "***");

  // In answers "code" and "info" are the service's own and stay readable.
  auto answer = tq::redacted(nlohmann::json::parse(R"({"code":5,"info":"bad","token":"t"})"),
                             tq::Side::Answer);
  EXPECT_EQ(answer["code"], 5);
  EXPECT_EQ(answer["info"], "bad");
  EXPECT_EQ(answer["token"], "***");

  EXPECT_EQ(tq::redactedForm("info=abc&mobile=mobile&password=x"),
            "info=***&mobile=mobile&password=***");
  EXPECT_EQ(tq::redactedText(R"({"password":"x"})"), R"({"password":"***"})");
  EXPECT_EQ(tq::redactedText("a=1&token=2"), "a=1&token=***");
}

}  // namespace
