#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "Brevant/Brevant.h"
#include "Galvent/Logger/GVSpdLogger.h"
#include "Mazzle/MZIPv4Packet.h"
#include "TestLogger.h"

namespace fs = std::filesystem;

namespace {
std::string readFile(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ContainerDir : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("galvent-logger-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    GVLogger::setContainerRoot(root_);
  }
  void TearDown() override {
    GVTunnelOptions::setCurrentOptions(
        std::make_shared<const GVTunnelOptions>(GVTunnelOptions::defaultOptions()));
    fs::remove_all(root_);
  }
  void useOptions(std::function<void(GVTunnelOptions&)> edit) {
    auto o = GVTunnelOptions::defaultOptions();
    o.groupIdentifier = "group.test";
    edit(o);
    GVTunnelOptions::setCurrentOptions(std::make_shared<const GVTunnelOptions>(o));
  }
  fs::path root_;
};
}  // namespace

TEST(GVLoggerGating, FlagsSwitchKindsOfLines) {
  using Edit = void (*)(GVTunnelOptions&);
  struct Case {
    const char* name;
    Edit edit;
    std::vector<std::string> expected;
  } cases[] = {
      {"all on",
       [](GVTunnelOptions&) {},
       {"I +D a.com", "I +W game|1.2.3.4|80|udp", "I +B x", "I out", "I in \nnote", "I fg hb",
        "I fg resp", "E plain"}},
      {"logEnable off", [](GVTunnelOptions& o) { o.logEnable = false; }, {}},
      {"logEnable unset", [](GVTunnelOptions& o) { o.logEnable.reset(); }, {}},
      {"rules off",
       [](GVTunnelOptions& o) { o.logRuleAdd = false; },
       {"I out", "I in \nnote", "I fg hb", "I fg resp", "E plain"}},
      {"packets off",
       [](GVTunnelOptions& o) { o.logInterceptPacket = false; },
       {"I +D a.com", "I +W game|1.2.3.4|80|udp", "I +B x", "I fg hb", "I fg resp", "E plain"}},
      {"heartbeat and answers off",
       [](GVTunnelOptions& o) {
         o.logFlowGroupHeartbeat = false;
         o.logGameAdapterResp = false;
       },
       {"I +D a.com", "I +W game|1.2.3.4|80|udp", "I +B x", "I out", "I in \nnote", "E plain"}},
  };
  for (const auto& c : cases) {
    auto o = LoggingScope::enabled();
    c.edit(o);
    LoggingScope scope(o);
    EXPECT_EQ(GVLogger::logger() != nullptr, GVFlag(o.logEnable)) << c.name;
    GVLogger::logAddDNSRule("a.com");
    GVLogger::logAddWhiteRule("game|1.2.3.4|80|udp");
    GVLogger::logAddBlackRule("x");
    GVLogger::logOutgoingPacket("out", "");
    GVLogger::logIncomingPacket("in", "note");
    GVLogger::logFlowGroupHeartbeatNote("fg", "hb");
    GVLogger::logFlowGroupServerResp("fg", "resp");
    GVLogError("plain");
    EXPECT_EQ(scope.logger->lines(), c.expected) << c.name;
  }
}

TEST(GVLoggerGating, RuleTextCutLikeItsBuffer) {
  LoggingScope scope;
  GVLogger::logAddWhiteRule(std::string(400, 'r'));
  ASSERT_EQ(scope.logger->lines().size(), 1u);
  EXPECT_EQ(scope.logger->lines()[0], "I +W " + std::string(255, 'r'));
}

TEST(GVLoggerGating, NoLoggerInstalled) {
  LoggingScope scope;
  GVLogger::setLogger(nullptr);
  EXPECT_EQ(GVLogger::logger(), nullptr);
  GVLogInfo("dropped");  // must not crash
}

TEST_F(ContainerDir, ExitReasonWrittenAndReplaced) {
  useOptions([](GVTunnelOptions&) {});
  fs::path file = root_ / "group.test" / "error.txt";
  EXPECT_EQ(GVLogger::exitReasonPath(), file);
  GVLogger::logVPNExitReason("first reason");
  EXPECT_EQ(readFile(file), "first reason");
  GVLogger::logVPNExitReason("second");
  EXPECT_EQ(readFile(file), "second");
  GVLogger::logVPNExitReason("");  // an empty reason keeps the last one
  EXPECT_EQ(readFile(file), "second");
  // Nothing but the file is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "group.test"), fs::directory_iterator()),
            1);
}

TEST_F(ContainerDir, ExitReasonNotWrittenWithoutUsableNames) {
  using Edit = void (*)(GVTunnelOptions&);
  Edit edits[] = {
      [](GVTunnelOptions& o) { o.errorFile = ""; },
      [](GVTunnelOptions& o) { o.errorFile.reset(); },
      [](GVTunnelOptions& o) { o.groupIdentifier.reset(); },
      [](GVTunnelOptions& o) { o.errorFile = "../escape.txt"; },
      [](GVTunnelOptions& o) { o.groupIdentifier = ".."; },
  };
  for (auto edit : edits) {
    useOptions(edit);
    EXPECT_TRUE(GVLogger::exitReasonPath().empty());
    GVLogger::logVPNExitReason("reason");
  }
  EXPECT_TRUE(fs::is_empty(root_));
  EXPECT_FALSE(fs::exists(root_.parent_path() / "escape.txt"));
}

TEST_F(ContainerDir, UncaughtExceptionWritesItsText) {
  useOptions([](GVTunnelOptions&) {});
  GVLogger::logVPNExitReason("older reason");
  EXPECT_DEATH(
      {
        GVLoggerInstallUncaughtExceptionHandler();
        std::thread([] { throw std::runtime_error("engine blew up"); }).join();
      },
      "");
  std::string reason = readFile(root_ / "group.test" / "error.txt");
  EXPECT_EQ(reason.rfind("Uncaught Exception, description:engine blew up, call stack:(", 0), 0u)
      << reason;
  EXPECT_NE(reason.find("\n    "), std::string::npos) << "call stack expected";
}

TEST_F(ContainerDir, SpdLoggerWritesLinesAsTheyAre) {
  fs::path file = root_ / "daemon.log";
  auto logger = GVSpdLogger::make("galvent-test", file.string());
  logger->logInfo("rate 100% {} %s");
  logger->logError("failed");
  std::string text = readFile(file);
  EXPECT_NE(text.find("rate 100% {} %s"), std::string::npos) << text;
  EXPECT_NE(text.find("failed"), std::string::npos) << text;
}

TEST(GVLoggerGating, RuleKitRulesRenderedByTheKit) {
  brevant::dns_rule dns;
  dns.rule_id = 7;
  dns.domain = "example.com";
  brevant::traffic_rule white;
  white.rule_id = 8;
  white.domain = "game.example.net";
  {
    LoggingScope scope;
    GVLogger::logAddDNSRule(dns);
    GVLogger::logAddWhiteRule(white);
    GVLogger::logAddBlackRule(white);
    EXPECT_EQ(scope.logger->lines(),
              (std::vector<std::string>{"I +D " + brevant::dns_rule_string(dns),
                                        "I +W " + brevant::traffic_rule_string(white),
                                        "I +B " + brevant::traffic_rule_string(white)}));
  }
  auto off = LoggingScope::enabled();
  off.logRuleAdd = false;
  LoggingScope scope(off);
  GVLogger::logAddDNSRule(dns);
  EXPECT_TRUE(scope.logger->lines().empty());
}

TEST(GVLoggerGating, PacketBytesDescribedByTheKit) {
  auto udp = MZIPv4Packet::buildUDP(0x0A000002, 5000, 0xC0000201, 53, std::vector<uint8_t>{1, 2});
  std::vector<uint8_t> junk{1, 2, 3};
  LoggingScope scope;
  GVLogger::logOutgoingPacket(std::span<const uint8_t>(udp), "");
  GVLogger::logIncomingPacket(std::span<const uint8_t>(junk), "dropped");
  auto lines = scope.logger->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "I " + MZIPv4Packet::packetWithData(udp, true)->description());
  EXPECT_EQ(lines[1], "I <- not an IPv4 packet, 3 bytes \ndropped");
}
