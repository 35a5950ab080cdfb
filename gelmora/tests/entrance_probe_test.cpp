// The entrance-port probe against the stand-in relay on loopback addresses, and the equality
// rules of entrances and exits.
#include <gtest/gtest.h>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "gelmora/Service/Speed/EntranceServer.h"
#include "gelmora/Service/Speed/ExitServer.h"
#include "gelmora/Service/Speed/OlderSpeedTypes.h"
#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Tools/LOG.h"
#include "standin/relay/Relay.h"

using nlohmann::json;

namespace {

class EntranceProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LOG::setConsoleSink([](const std::string&) {});
    Timing t;
    t.portProbe = std::chrono::milliseconds(200);
    Timing::set(t);
  }
  void TearDown() override {
    Timing::set(Timing{});
    EntranceServer::setRandomSource({});
    EntranceServer::setPortProber({});
    LOG::setConsoleSink({});
  }
  // Incoming frames the relay saw on ip:port.
  std::vector<standin::relay::Record> seenOn(const std::string& ip, uint16_t port) {
    return seenIn(relay.records(), ip, port);
  }
  // The same within records handed to a wait predicate (the relay holds its lock then).
  static std::vector<standin::relay::Record> seenIn(const std::vector<standin::relay::Record>& all,
                                                    const std::string& ip, uint16_t port) {
    std::vector<standin::relay::Record> out;
    for (const auto& r : all) {
      if (r.incoming && r.local == ip + ":" + std::to_string(port)) out.push_back(r);
    }
    return out;
  }
  standin::relay::Relay relay;
};

EntranceServer entrance(const std::string& ip, json ports) {
  EntranceServer e;
  e.setIp(ip);
  e.setPortArray(std::move(ports));
  return e;
}

}  // namespace

TEST_F(EntranceProbeTest, EmptyListEndsAtOnceWithoutADelay) {
  EntranceServer e = entrance("127.0.0.2", json::array());
  EXPECT_EQ(e.SelectEntrancePort(), 0);
  EXPECT_EQ(e.delay(), 3000);
  EXPECT_EQ(e.port(), 0);
}

TEST_F(EntranceProbeTest, AnsweringPortIsChosenAfterTwoRequestFrames) {
  const uint16_t port = relay.addEndpoint("127.0.0.2");
  ASSERT_NE(port, 0);
  for (json p : {json(port), json(std::to_string(port))}) {
    SCOPED_TRACE(p.dump());
    relay.clearRecords();
    EntranceServer e = entrance("127.0.0.2", json::array({p}));
    EXPECT_EQ(e.SelectEntrancePort(), port);
    EXPECT_EQ(e.port(), port);
    EXPECT_LT(e.delay(), 3000);
    EXPECT_GE(e.delay(), 0);
    ASSERT_TRUE(
        relay.waitFor([&](const auto& all) { return seenIn(all, "127.0.0.2", port).size() >= 2; },
                      std::chrono::seconds(5)));
    auto frames = seenOn("127.0.0.2", port);
    ASSERT_EQ(frames.size(), 2u);
    for (const auto& f : frames) {
      EXPECT_EQ(f.type, 100u);
      EXPECT_EQ(f.size, 21u);
      EXPECT_EQ(f.lengthField, 21u);
      EXPECT_EQ(std::string(f.body.begin(), f.body.end()), R"({"token":"0"})");
    }
  }
}

TEST_F(EntranceProbeTest, BadRepliesAndSilenceAreIgnored) {
  struct Case {
    std::string name;
    standin::relay::Switches switches;
  };
  standin::relay::Switches wrongLength, wrongType, silent, garbage;
  wrongLength.wrongLength = true;
  wrongType.wrongType = true;
  silent.silent = true;
  garbage.garbage = true;
  const Case cases[] = {{"length field", wrongLength},
                        {"type", wrongType},
                        {"silence", silent},
                        {"garbage", garbage}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint16_t port = relay.addEndpoint("127.0.0.3");
    relay.setSwitches("127.0.0.3", port, c.switches);
    EntranceServer e = entrance("127.0.0.3", json::array({port}));
    EXPECT_EQ(e.SelectEntrancePort(), 0);
    EXPECT_EQ(e.delay(), 3000);
  }
}

TEST_F(EntranceProbeTest, OnlyTheFirstDrawnAnsweringPortIsProbed) {
  const uint16_t a = relay.addEndpoint("127.0.0.2");
  const uint16_t b = relay.addEndpoint("127.0.0.2");
  // Draw 1 takes index 1 of [a, b].
  EntranceServer::setRandomSource([] { return 1u; });
  EntranceServer e = entrance("127.0.0.2", json::array({a, b}));
  EXPECT_EQ(e.SelectEntrancePort(), b);
  relay.waitFor([&](const auto& all) { return seenIn(all, "127.0.0.2", b).size() >= 2; },
                std::chrono::seconds(5));
  EXPECT_TRUE(seenOn("127.0.0.2", a).empty());
}

TEST_F(EntranceProbeTest, PortsOutsideTheRangeOrNotNumbersAreSkipped) {
  const uint16_t port = relay.addEndpoint("127.0.0.2");
  EntranceServer::setRandomSource([] { return 0u; });  // in list order
  EntranceServer e =
      entrance("127.0.0.2", json::array({0, 70000, "abc", -5, 1.5, nullptr, "8x", port}));
  EXPECT_EQ(e.SelectEntrancePort(), port);
  const struct {
    json value;
    uint16_t port;
  } values[] = {{8000, 8000}, {"8000", 8000},     {0, 0},        {65536, 0}, {"", 0},
                {" 80", 0},   {json::array(), 0}, {65535, 65535}};
  for (const auto& v : values) EXPECT_EQ(EntranceServer::portValue(v.value), v.port) << v.value;
}

TEST_F(EntranceProbeTest, ProberSeamTakesTheFirstPortWithAUsableDelay) {
  std::vector<uint16_t> asked;
  EntranceServer::setPortProber(
      [&](const std::string& ip, uint16_t port) -> std::optional<int32_t> {
        EXPECT_EQ(ip, "198.51.100.7");
        asked.push_back(port);
        if (port == 7001) return std::nullopt;  // silent
        if (port == 7002) return -4;            // no usable figure
        if (port == 7003) return 3000;          // not below the no-answer delay
        return 12;
      });
  EntranceServer::setRandomSource([] { return 0u; });
  EntranceServer e = entrance("198.51.100.7", json::array({7001, "7002", 7003, 7004, 7005}));
  EXPECT_EQ(e.SelectEntrancePort(), 7004);
  EXPECT_EQ(e.delay(), 12);
  EXPECT_EQ(asked, (std::vector<uint16_t>{7001, 7002, 7003, 7004}));
  EntranceServer::setPortProber({});
  EXPECT_TRUE(relay.records().empty());
}

TEST(EntranceExitEqualityTest, FieldsThatCount) {
  auto entranceAt = [](std::string ip, uint16_t port) {
    EntranceServer e;
    e.setIp(std::move(ip));
    e.setPort(port);
    return e;
  };
  EXPECT_TRUE(entranceAt("198.51.100.1", 7000).IsEqualToEntrance(entranceAt("198.51.100.1", 7000)));
  EXPECT_FALSE(
      entranceAt("198.51.100.1", 7000).IsEqualToEntrance(entranceAt("198.51.100.1", 7001)));
  EXPECT_FALSE(
      entranceAt("198.51.100.1", 7000).IsEqualToEntrance(entranceAt("198.51.100.2", 7000)));

  auto exitOf = [](std::string addr, std::string nat) {
    ExitServer x;
    x.setAddr(std::move(addr));
    x.setNat(std::move(nat));
    return x;
  };
  EXPECT_TRUE(exitOf("1-2", "MTAuMC4wLjE=").isEqualToExit(exitOf("1-2", "MTAuMC4wLjE=")));
  EXPECT_FALSE(exitOf("1-2", "MTAuMC4wLjE=").isEqualToExit(exitOf("1-2", "MTAuMC4wLjI=")));
  EXPECT_FALSE(exitOf("1-2", "MTAuMC4wLjE=").isEqualToExit(exitOf("1-3", "MTAuMC4wLjE=")));
  EXPECT_EQ(exitOf("1-2", "MTAuMC4wLjE=").ipAddress(), "10.0.0.1");
  EXPECT_EQ(exitOf("1-2", "not base64!").ipAddress(), "");

  EntranceIP ip{"1.2.3.4", 1};
  EXPECT_FALSE(ip.IsEqual(ip));
  TsPath path(TsEntranceSerer("1.2.3.4", json::array({1})), TsExitServer("1-2", "x"));
  EXPECT_EQ(path.delayA, 1000);
  EXPECT_EQ(path.delayB, 3000);
  EXPECT_EQ(path.lostB, 100);
}
