// Service calls as signals, against the account-service stand-in on loopback.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "platform/dispatch/PumpedQueue.h"
#include "standin/AccountServer.h"

namespace {

struct Events {
  std::vector<nlohmann::json> values;
  std::optional<TQError> error;
  bool completed = false;
  bool ended() const { return completed || error.has_value(); }
};

class RacSend : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(account.start());
    set_JVXDomain(account.host());
    standin::account::Account a;
    a.username = "player";
    a.password = "pw";
    account.addAccount(a);
  }
  void TearDown() override {
    set_JVXDomain(std::nullopt);
    account.stop();
  }

  std::shared_ptr<JVX_API_USER_LOGIN> login(const char* password = "pw") {
    auto call = std::make_shared<JVX_API_USER_LOGIN>();
    call->req().username = "player";
    call->req().password = password;
    call->req().system_plat = "pc";
    call->setSilence(true);
    return call;
  }

  platform::reactive::Disposable subscribe(const platform::reactive::Signal<nlohmann::json>& s,
                                           Events& e) {
    return s.subscribe({[&e](const nlohmann::json& v) { e.values.push_back(v); },
                        [&e](const TQError& err) { e.error = err; }, [&e] { e.completed = true; }});
  }

  platform::dispatch::ScopedMainQueue main;
  standin::account::AccountServer account;
};

}  // namespace

TEST_F(RacSend, ColdThenOneValueAndCompletion) {
  auto call = login();
  auto signal = RAC::rac_send(call);
  EXPECT_TRUE(account.requests().empty()) << "nothing is sent before a subscription";
  Events e;
  bool onMain = false;
  auto d =
      signal.subscribe({[&](const nlohmann::json& v) {
                          onMain = main.queue().isCurrent();
                          e.values.push_back(v);
                        },
                        [&](const TQError& err) { e.error = err; }, [&] { e.completed = true; }});
  ASSERT_TRUE(main.queue().runUntil([&] { return e.ended(); }));
  ASSERT_FALSE(e.error) << e.error->description;
  EXPECT_TRUE(onMain) << "values arrive on the main queue";
  EXPECT_TRUE(e.completed);
  ASSERT_EQ(e.values.size(), 1u);
  ASSERT_TRUE(call->resp());
  EXPECT_EQ(e.values[0], tq::toDictionary(*call->resp()));
  EXPECT_TRUE(e.values[0].contains("uid"));
}

TEST_F(RacSend, ServiceErrorCodeIsOneError) {
  auto call = login();
  account.setCodeForPath(call->literalPath(), 4321, "account locked");
  Events e;
  auto d = subscribe(RAC::rac_send(call), e);
  ASSERT_TRUE(main.queue().runUntil([&] { return e.ended(); }));
  ASSERT_TRUE(e.error);
  EXPECT_EQ(e.error->code, 4321);
  EXPECT_EQ(e.error->description, "account locked");
  EXPECT_TRUE(e.values.empty());
  EXPECT_FALSE(e.completed);
}

TEST_F(RacSend, UnmappedCallGivesRawPayload) {
  auto call = login();
  call->setAutoSerializingResp(false);
  Events e;
  auto d = subscribe(RAC::rac_send(call), e);
  ASSERT_TRUE(main.queue().runUntil([&] { return e.ended(); }));
  ASSERT_EQ(e.values.size(), 1u);
  EXPECT_FALSE(call->resp());
  EXPECT_EQ(e.values[0], call->rawResp());
  EXPECT_TRUE(e.values[0].is_object());
}

TEST_F(RacSend, SecondSubscriptionSendsAgainAndTakesTheCallbacks) {
  auto call = login();
  auto signal = RAC::rac_send(call);
  Events first, second;
  auto d1 = subscribe(signal, first);
  ASSERT_TRUE(main.queue().runUntil([&] { return first.ended(); }));
  ASSERT_EQ(first.values.size(), 1u);
  auto d2 = subscribe(signal, second);
  ASSERT_TRUE(main.queue().runUntil([&] { return second.ended(); }));
  EXPECT_EQ(second.values.size(), 1u);
  EXPECT_EQ(first.values.size(), 1u) << "the first subscriber hears nothing more";
  EXPECT_EQ(account.requests().size(), 2u);

  // Both subscribed before any answer: only the later one hears it.
  Events a, b;
  auto da = subscribe(signal, a);
  auto db = subscribe(signal, b);
  ASSERT_TRUE(main.queue().runUntil([&] { return b.ended(); }));
  main.pump();
  EXPECT_TRUE(a.values.empty());
  EXPECT_FALSE(a.ended());
  EXPECT_EQ(b.values.size(), 1u);
}

TEST_F(RacSend, DisposingBeforeTheAnswerCancels) {
  auto call = login();
  Events e;
  auto d = subscribe(RAC::rac_send(call), e);
  d.dispose();
  ASSERT_TRUE(main.queue().runUntil([&] { return call->status() == TQAPI::TQAPIStatusCancelled; }));
  main.pump();
  EXPECT_TRUE(e.values.empty());
  EXPECT_FALSE(e.ended());

  // Disposing after the end leaves the call as it ended.
  auto done = login();
  Events f;
  auto d2 = subscribe(RAC::rac_send(done), f);
  ASSERT_TRUE(main.queue().runUntil([&] { return f.ended(); }));
  d2.dispose();
  EXPECT_EQ(done->status(), TQAPI::TQAPIStatusSuccess);
}
