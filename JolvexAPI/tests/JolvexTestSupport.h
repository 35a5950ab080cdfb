#pragma once
// Fixture of the integration tests: an account-service stand-in and a feedback-service stand-in
// on 127.0.0.1, the client's domains pointed at them and a pumped main queue.
#include <gtest/gtest.h>
#include <platform/dispatch/PumpedQueue.h>

#include <memory>

#include "JolvexAPI/JolvexAPI.h"
#include "standin/AccountServer.h"

class JolvexFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(account.start());
    ASSERT_TRUE(feedback.start());
    set_JVXDomain(account.host());
    set_JVXFDDomain(feedback.host());
    JVXServiceEngine::sharedEngine().setFastAPIMode(false);
  }

  void TearDown() override {
    JVXServiceEngine::sharedEngine().setFastAPIMode(false);
    set_JVXDomain(std::nullopt);
    set_JVXFDDomain(std::nullopt);
    account.stop();
    feedback.stop();
  }

  // Sends the call and pumps the main queue until it has ended; false when it never did.
  bool run(const std::shared_ptr<TQAPI>& call) {
    call->send();
    return main.queue().runUntil([&] { return call->status() >= TQAPI::TQAPIStatusSuccess; });
  }

  template <class C>
  std::shared_ptr<C> make() {
    return std::make_shared<C>();
  }

  platform::dispatch::ScopedMainQueue main;
  standin::account::AccountServer account;
  standin::account::AccountServer feedback;
};
