// The IP packet stack's routes and settings, and the provider's start, stop and traffic query
// on a recording settings applier.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../../tests/TestLogger.h"
#include "Galvent/Tunnel/Provider/GVIPPacketStack.h"
#include "Galvent/Tunnel/Provider/GVPacketTunnelProvider.h"
#include "Galvent/Tunnel/Provider/GVProviderTrafficInfoCommand.h"
#include "Galvent/Utils/GVQueueFactory.h"
#include "Mazzle/MZRawSocketFactory.h"

namespace {

using platform::netext::ControlError;
using platform::netext::IPv4Route;

struct FakeProxy : GVPacketProxy {
  FakeProxy() : GVPacketProxy(std::nullopt) {}
  std::vector<GVRoute> blackRoutes() const override {
    return {{"198.51.100.7", "255.255.255.255"}};
  }
  void start() override {}
  void stop() override {}
};

TEST(GVIPPacketStack, RouteLines) {
  struct Case {
    const char* line;
    std::optional<IPv4Route> route;
  };
  const Case cases[] = {
      {"203.0.113.0/24", IPv4Route{"203.0.113.0", "255.255.255.0"}},
      {"203.0.113.9", IPv4Route{"203.0.113.9", "255.255.255.255"}},
      {"203.0.113.9/40", IPv4Route{"203.0.113.9", "255.255.255.255"}},
      {"203.0.113.9/x", IPv4Route{"203.0.113.9", "255.255.255.255"}},
      {"10.0.0.0/0", IPv4Route{"10.0.0.0", "0.0.0.0"}},
      {"10.0.0.0/8\r", IPv4Route{"10.0.0.0", "255.0.0.0"}},
      {"1.2.3.4/8/9", IPv4Route{"1.2.3.4", "255.255.255.255"}},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"/24", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GVIPPacketStack::routeWithIPString(c.line), c.route) << c.line;
  EXPECT_EQ(GVIPPacketStack::maskDict().size(), 33u);
  EXPECT_EQ(GVIPPacketStack::maskDict().at("0"), "0.0.0.0");
  EXPECT_EQ(GVIPPacketStack::maskDict().at("17"), "255.255.128.0");

  // Empty lines and the last line without an end are handled; order is kept.
  auto routes = GVIPPacketStack::routesFromText("1.1.1.0/24\n\n2.2.2.2\r\n/16\n3.3.0.0/16");
  ASSERT_EQ(routes.size(), 3u);
  EXPECT_EQ(routes[2], (IPv4Route{"3.3.0.0", "255.255.0.0"}));
}

TEST(GVIPPacketStack, RouteFilesComeOnlyFromTheResources) {
  auto dir = std::filesystem::temp_directory_path() / ("gvroutes-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "white_route.txt") << "203.0.113.0/24\n";
  std::ofstream(dir.parent_path() / "outside.txt") << "1.1.1.1\n";
  GVIPPacketStack::setResourcesDirectory(dir);
  EXPECT_EQ(GVIPPacketStack::loadRoutesFromFile("white_route.txt").size(), 1u);
  EXPECT_TRUE(GVIPPacketStack::loadRoutesFromFile("missing.txt").empty());
  EXPECT_TRUE(GVIPPacketStack::loadRoutesFromFile("../outside.txt").empty());
  GVIPPacketStack::setResourcesDirectory({});
  std::filesystem::remove_all(dir);
  std::filesystem::remove(dir.parent_path() / "outside.txt");
}

struct ProviderFixture : ::testing::Test {
  GVTunnelOptions options = [] {
    auto o = GVTunnelOptions::defaultOptions();
    o.logEnable = true;
    o.observeInterfaceChange = false;
    o.dnsServer = "127.0.0.1";
    return o;
  }();
  std::unique_ptr<LoggingScope> logging;
  std::shared_ptr<GVPacketTunnelProvider> provider = std::make_shared<GVPacketTunnelProvider>();
  std::shared_ptr<platform::netext::RecordingSettingsApplier> applier =
      std::make_shared<platform::netext::RecordingSettingsApplier>();
  bool withProxy = true;
  std::vector<std::optional<ControlError>> cancels;

  void SetUp() override {
    provider->setSettingsApplier(applier);
    provider->setCancelHandler([this](std::optional<ControlError> e) { cancels.push_back(e); });
  }
  void TearDown() override {
    GVQueueFactory::excuteOnQueueSynchronizedly([] {});
    provider->stopTunnel(1, nullptr);
    MZRawSocketFactory::sharedInstance().reset();
    logging.reset();
  }
  std::optional<ControlError> start() {
    logging.reset();
    logging = std::make_unique<LoggingScope>(options);
    provider->setProxyFactory([this](const nlohmann::json&, std::weak_ptr<GVPacketProxyDelegate>) {
      return withProxy ? std::shared_ptr<GVPacketProxy>(std::make_shared<FakeProxy>()) : nullptr;
    });
    std::optional<ControlError> result{ControlError{"unset", -1, ""}};
    bool called = false;
    provider->startTunnel(nlohmann::json::object(), [&](std::optional<ControlError> e) {
      result = e;
      called = true;
    });
    EXPECT_TRUE(called) << "the start always completes";
    GVQueueFactory::excuteOnQueueSynchronizedly([] {});
    return result;
  }
  bool logged(const std::string& line) {
    auto lines = logging->logger->lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

TEST_F(ProviderFixture, SettingsInTheirOrder) {
  ASSERT_FALSE(start());
  ASSERT_EQ(applier->lines.size(), 13u);
  const std::vector<std::string> expected = {"remote 127.0.0.1",
                                             "address 192.0.2.1 255.255.255.0",
                                             "include 0.0.0.0/0",
                                             "exclude 10.0.0.0/8",
                                             "exclude 100.64.0.0/10",
                                             "exclude 127.0.0.0/8",
                                             "exclude 169.254.0.0/16",
                                             "exclude 172.16.0.0/12",
                                             "exclude 192.168.0.0/16",
                                             "exclude 198.51.100.7/32",
                                             "dns 198.18.0.1",
                                             "match \"\"",
                                             "mtu 1400"};
  std::vector<std::string> got(applier->lines.begin(), applier->lines.begin() + 13);
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(logged("I Load excludedRoutes 7"));
  EXPECT_TRUE(logged("I Load includedRoutes 1"));
  EXPECT_TRUE(logged("I Starting Tun Interface!"));
  EXPECT_TRUE(provider->interface() && provider->interface()->running());
}

TEST_F(ProviderFixture, NoProxyMatchedFailsTheStartInsteadOfExitingSilently) {
  withProxy = false;
  auto error = start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "NO proxy matched.");
  EXPECT_TRUE(applier->lines.empty());
  EXPECT_FALSE(provider->interface());
}

TEST_F(ProviderFixture, RefusedSettingsAreUndoneAndTheInterfaceStaysDown) {
  applier->refuseWith = ControlError{"NEVPNErrorDomain", 1, "refused"};
  auto error = start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "refused");
  EXPECT_EQ(applier->lines.back(), "clear");
  EXPECT_FALSE(logged("I Starting Tun Interface!"));
  EXPECT_FALSE(provider->interface()->running());
}

TEST_F(ProviderFixture, TrafficQueryWithoutFlowGroupIsAnsweredWithNothingAtOnce) {
  ASSERT_FALSE(start());
  for (const char* text : {GVProviderTrafficInfoCommand, "other", ""}) {
    bool called = false;
    provider->handleAppMessage(text, [&](std::optional<std::string> reply) {
      called = true;
      EXPECT_FALSE(reply);
    });
    EXPECT_TRUE(called) << text;
  }
}

TEST_F(ProviderFixture, KickoutEndsTheTunnelUnlessIgnored) {
  for (bool ignore : {false, true}) {
    cancels.clear();
    options.ignoreHeartbeatKickout = ignore;
    ASSERT_FALSE(start());
    platform::notifications::NotificationCenter::defaultCenter().post(
        GVPacketProxyServerKickOff, TQError{"server", 7, "kicked", std::nullopt});
    if (ignore) {
      EXPECT_TRUE(cancels.empty());
    } else {
      ASSERT_EQ(cancels.size(), 1u);
      EXPECT_EQ(cancels[0]->code, 7);
    }
    provider->stopTunnel(1, nullptr);
  }
  EXPECT_FALSE(provider->monitoringInterface());
}

TEST_F(ProviderFixture, StopReasonIsWrittenUnlessTheUserStoppedOrAKickOffSaidWhy) {
  auto root = std::filesystem::temp_directory_path() / ("gvstop-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "group.test");
  GVLogger::setContainerRoot(root);
  options.groupIdentifier = "group.test";
  options.errorFile = "error.txt";
  for (int64_t reason : {1, 2}) {
    ASSERT_FALSE(start());
    bool done = false;
    provider->stopTunnel(reason, [&] { done = true; });
    EXPECT_TRUE(done);
    std::ifstream in(root / "group.test" / "error.txt");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    if (reason == 1) {
      EXPECT_FALSE(in.is_open());
    } else {
      EXPECT_NE(text.find("VPN Stopped by reason: 2"), std::string::npos) << text;
    }
    EXPECT_FALSE(provider->interface());
  }

  // A kick-off writes the service's own words; the stop that the kick-off brings (reason 0) keeps
  // them, and the next run's stop writes its reason again.
  ASSERT_FALSE(start());
  GVLogger::logVPNExitReason("/q5client/user/heartbeat \n Error: logged in elsewhere");
  platform::notifications::NotificationCenter::defaultCenter().post(
      GVPacketProxyServerKickOff, TQError{"server", 7, "logged in elsewhere", std::nullopt});
  provider->stopTunnel(0, nullptr);
  auto reasonText = [&] {
    std::ifstream in(root / "group.test" / "error.txt");
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  EXPECT_EQ(reasonText(), "/q5client/user/heartbeat \n Error: logged in elsewhere");
  ASSERT_FALSE(start());
  provider->stopTunnel(2, nullptr);
  EXPECT_EQ(reasonText(), "VPN Stopped by reason: 2");
  std::filesystem::remove_all(root);
}

}  // namespace
