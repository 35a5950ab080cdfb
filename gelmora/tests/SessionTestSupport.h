#pragma once
// Fixture of the user-session tests: account and feedback stand-ins on 127.0.0.1 with the
// client's domains pointed at them, a pumped main queue, virtual time for the heartbeat, fresh
// defaults and keychain files, a controller built for the test and a notification recorder.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "JolvexAPI/JolvexAPI.h"
#include "TestSupport.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#if __has_include("gelmora/Service/Params/TsParams.h")
#include "gelmora/Service/Params/TsParams.h"
#define GELMORA_HAS_OLDER_PARAMS 1
#endif
#include "platform/dispatch/PumpedQueue.h"
#include "platform/keychain/FileBackend.h"
#include "platform/keychain/Keychain.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/reactive/Scheduler.h"
#include "standin/AccountServer.h"

// An account as the service hands it out; fields overridden per test.
inline nlohmann::json accountPayload(nlohmann::json overrides = nlohmann::json::object()) {
  nlohmann::json u = {{"uid", 10001},
                      {"username", "alice"},
                      {"login_token", "tok-10001"},
                      {"token", "tok-10001"},
                      {"real_name_verification", 1},
                      {"account_status", 1},
                      {"expired", 0},
                      {"first_login", 0},
                      {"region", 0},
                      {"rest_traffic", 500},
                      {"phone_number", "13800000000"},
                      {"country_code", 86},
                      {"expire_date", "2030-01-01 00:00:00"},
                      {"package_id", 7}};
  for (auto it = overrides.begin(); it != overrides.end(); ++it) u[it.key()] = it.value();
  return u;
}

template <class T>
struct Outcome {
  std::vector<T> values;
  std::optional<platform::reactive::Error> error;
  bool completed = false;
  bool done() const { return error.has_value() || completed; }
};

class SessionFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    TQAPIConfig::sharedInstance().reset();
    platform::keychain::installBackend(
        std::make_shared<platform::keychain::FileBackend>(tmp.path() / "keychain.json"));
    ASSERT_TRUE(account.start());
    ASSERT_TRUE(feedback.start());
    set_JVXDomain(account.host());
    set_JVXFDDomain(feedback.host());
    JVXServiceEngine::sharedEngine().setFastAPIMode(false);
    store = std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
    defaults->setClientIdProvider([] { return std::string("CID"); });
    scheduler = std::make_shared<platform::reactive::TestScheduler>();
    user = std::make_unique<TsUserController>(*defaults, scheduler);
#ifdef GELMORA_HAS_OLDER_PARAMS
    TsParams::resetLoginValues();
#endif
    // No login feedback page unless a test asks for one.
    feedback.scriptPayloads("/api/v1/feedback/list", {{{"login", ""}}});
    for (auto name : {TsUserStateChangedNotification, TsUserWillResignNotification,
                      TsUserInfoChangedNotification, TsUserLoginFeedbackNotification,
                      TsUserRegisterGANotification, TsUserRegisterSuccessNotification,
                      TsUserResetPasswordNotification, TsUserPhoneBindNotification,
                      TsUserFeedbackNotification, TsUserCenterTopupNotification}) {
      center().addObserver(this, name, [this](const platform::notifications::Notification& n) {
        posted.push_back(n.name);
      });
    }
  }

  void TearDown() override {
    center().removeObserver(this);
    user.reset();
    TQAPIConfig::sharedInstance().reset();
    account.stop();
    feedback.stop();
  }

  static platform::notifications::NotificationCenter& center() {
    return platform::notifications::NotificationCenter::defaultCenter();
  }

  // Subscribes and pumps the main queue until the signal ended.
  template <class T>
  Outcome<T> run(const platform::reactive::Signal<T>& signal) {
    auto out = std::make_shared<Outcome<T>>();
    auto d = signal.subscribe({[out](const T& v) { out->values.push_back(v); },
                               [out](const platform::reactive::Error& e) { out->error = e; },
                               [out] { out->completed = true; }});
    EXPECT_TRUE(main.queue().runUntil([&] { return out->done(); }));
    return *out;
  }

  // Requests the stand-in saw on one path (the path as the client sent it).
  std::vector<standin::account::SeenRequest> seen(standin::account::AccountServer& server,
                                                  const std::string& path) {
    std::vector<standin::account::SeenRequest> out;
    for (auto& r : server.requests())
      if (r.path == path) out.push_back(r);
    return out;
  }
  // Pumps until the stand-in has seen `n` requests on the path and their answers were handled.
  bool waitFor(standin::account::AccountServer& server, const std::string& path, size_t n) {
    bool ok = main.queue().runUntil([&] { return seen(server, path).size() >= n; });
    // The answer arrives after the request was logged: let it be handled too.
    main.queue().runUntil([] { return false; }, std::chrono::milliseconds(150));
    return ok;
  }
  // Lets answers still in flight arrive (a real-time guard, not a timer of ours).
  void settle() {
    main.queue().runUntil([] { return false; }, std::chrono::milliseconds(150));
  }

  size_t count(std::string_view name) const {
    size_t n = 0;
    for (auto& p : posted) n += p == name;
    return n;
  }

  // Signs `user` in through the password route with a scripted account answer.
  void signIn(nlohmann::json payload = accountPayload(), bool remember = false) {
    account.scriptPayloads("/q5client/user/login", {payload});
    size_t lists = seen(feedback, "/api/v1/feedback/list").size();
    auto out = run(user->signinWithPhone("alice", "", "pw-123456", remember));
    ASSERT_TRUE(out.completed) << (out.error ? out.error->description : "");
    // A sign-in that reaches the online state asks for the feedback list; let it finish.
    if (user->status() != TsUserStatusNone) waitFor(feedback, "/api/v1/feedback/list", lists + 1);
  }

  TempDir tmp;
  platform::dispatch::ScopedMainQueue main;
  standin::account::AccountServer account;
  standin::account::AccountServer feedback;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  std::shared_ptr<platform::reactive::TestScheduler> scheduler;
  std::unique_ptr<TsUserController> user;
  std::vector<std::string> posted;
};
