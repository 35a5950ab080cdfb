#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "TestLogger.h"

using Bytes = Q5Protocol::Bytes;

namespace {
Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }
}  // namespace

TEST(Q5ProtocolExit, ExitTexts) {
  struct Case {
    const char* text;
    uint32_t exit;
    bool logged;
  } cases[] = {
      {"3-7", 196615, false},
      {"10-1", 655361, false},
      {"10", 0, true},
      {"1-2-3", 0, true},
      {"70000-1", 0, true},
      {"1-70000", 0, true},
      {" 5-7", 327687, false},
      {"65535-65535", 0xFFFFFFFF, false},
      {"", 0, true},
      {"x-2", 2, false},
      {"4a-2b", (4u << 16) | 2, false},
      {"99999999999999999999-1", 0, true},
  };
  for (const auto& c : cases) {
    LoggingScope scope;
    EXPECT_EQ(Q5Protocol::exitFromString(c.text), c.exit) << c.text;
    auto lines = scope.logger->lines();
    if (c.logged) {
      ASSERT_EQ(lines.size(), 1u) << c.text;
      EXPECT_EQ(lines[0], std::string("E invalidit Exit: ") + c.text);
    } else {
      EXPECT_TRUE(lines.empty()) << c.text;
    }
  }
}

TEST(Q5ProtocolFrame, WrapAndReadBack) {
  Bytes empty = Q5Protocol::wrapWithType(101, {});
  EXPECT_EQ(empty, (Bytes{8, 0, 0, 0, 101, 0, 0, 0}));

  Bytes body = bytesOf("hello");
  Bytes frame = Q5Protocol::wrapWithType(0xA1B2C3D4, body);
  ASSERT_EQ(frame.size(), 13u);
  EXPECT_EQ(Q5Protocol::loadU32(frame.data()), 13u);
  EXPECT_EQ(Q5Protocol::lookupTypeWithPacket(frame), 0xA1B2C3D4u);
  auto unwrapped = Q5Protocol::unwrapDataWithPacket(frame);
  ASSERT_TRUE(unwrapped);
  EXPECT_EQ(Bytes(unwrapped->begin(), unwrapped->end()), body);

  Bytes hb = Q5Protocol::heartBeatPacketWithMessage("__42");
  EXPECT_EQ(Q5Protocol::lookupTypeWithPacket(hb), 500u);
  EXPECT_EQ(Q5Protocol::loadU32(hb.data()), 12u);
}

TEST(Q5ProtocolFrame, ShortDatagramsCarryNoFrame) {
  for (size_t n = 0; n < 8; ++n) {
    Bytes d(n, 0xFF);
    EXPECT_FALSE(Q5Protocol::lookupTypeWithPacket(d)) << n;
    EXPECT_FALSE(Q5Protocol::unwrapDataWithPacket(d)) << n;
  }
  // Exactly a header: a type and an empty body, whatever the length field claims.
  Bytes header{0xFF, 0xFF, 0xFF, 0xFF, 0x2D, 0x01, 0, 0};
  EXPECT_EQ(Q5Protocol::lookupTypeWithPacket(header), 301u);
  EXPECT_TRUE(Q5Protocol::unwrapDataWithPacket(header)->empty());
}

TEST(Q5ProtocolIPPacket, GoldenBytes) {
  Bytes ip(60);
  for (size_t i = 0; i < ip.size(); ++i) ip[i] = static_cast<uint8_t>(i);
  auto frame = Q5Protocol::IPPacketWithExit("3-7", /*tx=*/0x3344, /*rx=*/0x1122, 0x01020304, 9,
                                            "255.255.255.255", ip);
  ASSERT_TRUE(frame);
  ASSERT_EQ(frame->size(), 101u);
  Bytes header(frame->begin(), frame->begin() + 41);
  Bytes expected = {
      101,  0,    0,    0,    0x90, 0x01, 0,   0,  // length 101, type 400
      0x07, 0x00, 0x03, 0x00,                      // exit 196615
      0x22, 0x11,                                  // rx first
      0x44, 0x33,                                  // then tx
      0x04, 0x03, 0x02, 0x01,                      // flow id
      9,                                           // flow level
      '2',  '5',  '5',  '.',  '2',  '5',  '5', '.', '2', '5',
      '5',  '.',  '2',  '5',  '5',  0,    0,   0,   0,   0,
  };
  EXPECT_EQ(header, expected);
  EXPECT_EQ(Bytes(frame->begin() + 41, frame->end()), ip);
}

TEST(Q5ProtocolIPPacket, NatPaddingAndMissingNat) {
  auto frame = Q5Protocol::IPPacketWithExit("1-1", 0, 0, 0, 0, "1.2.3.4", {});
  ASSERT_TRUE(frame);
  ASSERT_EQ(frame->size(), 41u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame->data() + 21), 7), "1.2.3.4");
  EXPECT_EQ(Bytes(frame->begin() + 28, frame->end()), Bytes(13, 0));

  // A NAT text longer than the field is cut, never written past it.
  auto longNat = Q5Protocol::IPPacketWithExit("1-1", 0, 0, 0, 0, std::string(30, 'n'), Bytes{7});
  ASSERT_TRUE(longNat);
  ASSERT_EQ(longNat->size(), 42u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(longNat->data() + 21), 20),
            std::string(20, 'n'));
  EXPECT_EQ(longNat->back(), 7);

  LoggingScope scope;
  EXPECT_FALSE(Q5Protocol::IPPacketWithExit("1-1", 0, 0, 0, 0, "", Bytes{1, 2}));
  EXPECT_EQ(scope.logger->lines(), std::vector<std::string>{"I nat ipv4 can't be nil"});
}

// The per-path header and the encode into a caller's buffer give the same bytes as the
// allocating builder, for several packet sizes through one header; a short buffer gets nothing.
TEST(Q5ProtocolIPPacket, HeaderOnceEncodeIntoBuffer) {
  auto header =
      Q5Protocol::IPPacketHeaderWithExit("3-7", 0x3344, 0x1122, 0x01020304, 9, "203.0.113.9");
  ASSERT_TRUE(header);
  std::vector<uint8_t> buffer(1600, 0xEE);
  for (size_t size : {size_t{0}, size_t{1}, size_t{60}, size_t{1400}}) {
    Bytes packet(size);
    for (size_t i = 0; i < size; ++i) packet[i] = static_cast<uint8_t>(i * 13 + 1);
    auto want =
        Q5Protocol::IPPacketWithExit("3-7", 0x3344, 0x1122, 0x01020304, 9, "203.0.113.9", packet);
    ASSERT_TRUE(want);
    size_t n = Q5Protocol::encodeIPPacket(buffer, *header, packet);
    ASSERT_EQ(n, want->size()) << size;
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(n)), *want) << size;
    auto withLength = *header;
    Q5Protocol::setIPPacketLength(withLength, size);
    EXPECT_TRUE(std::equal(withLength.begin(), withLength.end(), want->begin())) << size;
  }
  std::vector<uint8_t> tooSmall(41 + 59);
  EXPECT_EQ(Q5Protocol::encodeIPPacket(tooSmall, *header, Bytes(60)), 0u);
  EXPECT_FALSE(Q5Protocol::IPPacketHeaderWithExit("1-1", 0, 0, 0, 0, ""));
}

TEST(Q5ProtocolDetect, SixKeys) {
  LoggingScope scope;
  Bytes frame = Q5Protocol::detectPacketWithExit("10-1", 77, 3, "10.0.0.1", "192.0.2.1", "B");
  EXPECT_EQ(Q5Protocol::lookupTypeWithPacket(frame), 300u);
  EXPECT_EQ(Q5Protocol::loadU32(frame.data()), frame.size());
  auto body = Q5Protocol::unwrapDataWithPacket(frame);
  std::string text(body->begin(), body->end());
  EXPECT_EQ(text.find(' '), std::string::npos) << "compact JSON expected: " << text;
  auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json.size(), 6u);
  EXPECT_EQ(json["flow_id"], 77);
  EXPECT_EQ(json["flow_level"], 3);
  EXPECT_EQ(json["exit"], 655361u);
  EXPECT_EQ(json["nat_ip"], "10.0.0.1");
  EXPECT_EQ(json["target_ip"], "192.0.2.1");
  EXPECT_EQ(json["flag"], "B");
  ASSERT_EQ(scope.logger->lines().size(), 1u);
  EXPECT_EQ(scope.logger->lines()[0], "I reqParams = " + text);
}

TEST(Q5ProtocolDetect, BadUtf8DoesNotThrow) {
  Bytes frame = Q5Protocol::detectPacketWithExit("1-1", 1, 1, "\xff\xfe", "1.1.1.1", "B");
  auto body = Q5Protocol::unwrapDataWithPacket(frame);
  nlohmann::json parsed;
  EXPECT_NO_THROW(parsed = nlohmann::json::parse(std::string(body->begin(), body->end())));
}

TEST(Q5ProtocolLogging, DisabledLoggingDropsLines) {
  LoggingScope scope(GVTunnelOptions::defaultOptions());  // logEnable off
  EXPECT_EQ(Q5Protocol::exitFromString("bad"), 0u);
  EXPECT_TRUE(scope.logger->lines().empty());
}
