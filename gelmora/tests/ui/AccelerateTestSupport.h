#pragma once
// Shared set-up of the acceleration and line screens' tests: fresh defaults, a user controller
// with a session built in the test, a fake acceleration controller, a geo lookup and a package
// request the test answers by hand, and UI durations at 1 %.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "../TestSupport.h"
#include "FakeAccelerationController.h"
#include "UiTestSupport.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Line/HLNetLineNodeEntity.h"
#include "platform/reactive/Subject.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Accelerate/TsAccelerateView.h"

class AccelerateFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    store = std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
    user = std::make_unique<TsUserController>(*defaults);
  }
  void TearDown() override { gelmora::ui::UiTiming::setScale(1); }

  void signIn(nlohmann::json info) {
    auto userInfo = tq::fromDictionary<JVX_USER_INFO>(info);
    ASSERT_TRUE(userInfo);
    user->setSession(GVTsSession::initWithUserInfo(*userInfo));
  }
  void chooseLine(int areaId, const std::string& name) {
    auto node = std::make_shared<HLNetLineNodeEntity>();
    node->areaId = tq::Number(areaId);
    node->nodeName = name;
    defaults->setSelectedNetNode(node);
  }

  TsAccelerateViewDependencies viewDependencies() {
    TsAccelerateViewDependencies d;
    d.geo = [this] {
      ++geoLookups;
      return geo.signal();
    };
    d.defaults = defaults.get();
    d.strip.fetch = [this](std::optional<int64_t>) { return privilege.signal(); };
    d.strip.user = user.get();
    d.strip.webDomain = [] { return std::string("127.0.0.1:9"); };
    return d;
  }

  TempDir tmp;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  FakeAccelerationController vpn;
  platform::reactive::Subject<TsUserGEOInfo> geo;
  platform::reactive::Subject<nlohmann::json> privilege;
  int geoLookups = 0;
};
