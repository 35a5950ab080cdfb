#pragma once
// Fixture of the integration tests: game-service stand-ins for the Org and Cn families on
// 127.0.0.1, the client's domains pointed at them, and a pumped main queue.
#include <gtest/gtest.h>
#include <platform/dispatch/PumpedQueue.h>

#include <memory>

#include "PexaraAPI/PexaraAPI.h"
#include "standin/GameStandin.h"

class PexaraFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(org.start());
    ASSERT_TRUE(cn.start());
    set_PXAOrgDomain(org.address());
    set_PXACnDomain(cn.address());
  }

  void TearDown() override {
    set_PXAOrgDomain(std::nullopt);
    set_PXACnDomain(std::nullopt);
    org.stop();
    cn.stop();
  }

  // Sends the call and pumps the main queue until it has ended; false when it never did.
  bool run(const std::shared_ptr<TQAPI>& call) {
    call->send();
    return main.queue().runUntil([&] { return call->status() >= TQAPI::TQAPIStatusSuccess; });
  }

  platform::dispatch::ScopedMainQueue main;
  standin::GameStandin org;
  standin::GameStandin cn;
};
