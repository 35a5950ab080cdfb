// No password or token reaches a log line during sign-in, token sign-in and session saving.
#include "SessionTestSupport.h"
#include "Tovra/Base/TQLogger.h"
#include "gelmora/Application/AppDependencies.h"
#include "gelmora/Core/Log.h"

namespace {

class CapturingLogger : public TQLoggerProtocol {
 public:
  explicit CapturingLogger(std::vector<std::string>& lines) : lines_(lines) {}
  void logInfo(const std::string& t) override { lines_.push_back(t); }
  void logWarn(const std::string& t) override { lines_.push_back(t); }
  void logError(const std::string& t) override { lines_.push_back(t); }

 private:
  std::vector<std::string>& lines_;
};

using SessionLog = SessionFixture;

TEST_F(SessionLog, SecretsNeverLogged) {
  std::vector<std::string> lines;
  TQLogger::setLogger(std::make_shared<CapturingLogger>(lines));
  gelmora::setLogSink([&](const std::string& l) { lines.push_back(l); });

  const std::string password = "Pw-Secret-4711";
  const std::string token = "Tok-Secret-0815";
  defaults->setLastLoginUser(std::string("alice"));
  defaults->setLastLoginCountryCode(std::string(""));
  account.scriptPayloads("/q5client/user/login",
                         {accountPayload({{"login_token", token}, {"token", token}})});
  auto out = run(user->signinWithPhone("alice", "", password, true));
  ASSERT_TRUE(out.completed);
  user->saveSession();

  // The next start signs in with the stored token, and the service refuses it.
  account.setCodeForPath("/q5client/user/login", 1002, "login expired");
  TsUserController next(*defaults, scheduler);
  next.trySignin();
  ASSERT_TRUE(main.queue().runUntil([&] { return !next.online(); }));
  settle();

  TQLogger::setLogger(nullptr);
  gelmora::setLogSink(nullptr);
  ASSERT_FALSE(lines.empty());  // the engine did log the calls
  for (const auto& l : lines) {
    EXPECT_EQ(l.find(password), std::string::npos) << l;
    EXPECT_EQ(l.find(token), std::string::npos) << l;
  }
}

}  // namespace
