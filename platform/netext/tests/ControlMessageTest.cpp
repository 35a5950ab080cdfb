#include <gtest/gtest.h>

#include <string>

#include "platform/netext/ControlMessage.h"

using namespace platform::netext;

TEST(ControlMessage, RequestsRoundTrip) {
  const std::string binary("\x00\xff\x01zz", 5);
  for (const auto& request :
       {ControlRequest::start({{"groupIdentifier", "g"}, {"mtu", 1400}}), ControlRequest::stop(2),
        ControlRequest::message(binary), ControlRequest::status()}) {
    auto decoded = decodeRequest(encodeRequest(request));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->cmd, request.cmd);
    EXPECT_EQ(decoded->options, request.options);
    EXPECT_EQ(decoded->reason, request.reason);
    EXPECT_EQ(decoded->data, request.data);
  }
}

TEST(ControlMessage, DaemonMessagesRoundTrip) {
  ControlError e{"GVTunnel", 7, "NO proxy matched."};
  for (const auto& message :
       {DaemonMessage::statusEvent(VpnStatus::Connected),
        DaemonMessage::statusEvent(VpnStatus::Disconnected, e),
        DaemonMessage::replyMessage(std::string("\x01\x00", 2)),
        DaemonMessage::replyMessage(std::nullopt), DaemonMessage::errorMessage(e)}) {
    auto decoded = decodeDaemonMessage(encodeDaemonMessage(message));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->kind, message.kind);
    EXPECT_EQ(decoded->status, message.status);
    EXPECT_EQ(decoded->error, message.error);
    EXPECT_EQ(decoded->reply, message.reply);
  }
}

TEST(ControlMessage, WireTextsAreTheAgreedOnes) {
  EXPECT_EQ(encodeRequest(ControlRequest::stop(1)), R"({"cmd":"stop","reason":1})");
  EXPECT_EQ(encodeRequest(ControlRequest::message("hi")), R"({"cmd":"message","data":"aGk="})");
  EXPECT_EQ(encodeDaemonMessage(DaemonMessage::replyMessage(std::nullopt)), R"({"reply":null})");
  EXPECT_EQ(encodeDaemonMessage(DaemonMessage::statusEvent(VpnStatus::Reasserting)),
            R"({"error":null,"status":4})");
}

TEST(ControlMessage, BadRequestsAreRefusedWithAReason) {
  struct Case {
    std::string text;
    std::int64_t code;
  };
  const Case cases[] = {
      {"", 2},
      {"{", 2},
      {"[1,2]", 3},
      {R"({"cmd":5})", 3},
      {R"({"nocmd":1})", 3},
      {R"({"cmd":"start","options":[1]})", 3},
      {R"({"cmd":"stop","reason":"1"})", 3},
      {R"({"cmd":"stop","reason":-1})", 3},
      {R"({"cmd":"stop","reason":1.5})", 3},
      {R"({"cmd":"message"})", 3},
      {R"({"cmd":"message","data":"a"})", 3},
      {R"({"cmd":"message","data":"!!!!"})", 3},
      {R"({"cmd":"launch"})", 4},
  };
  for (const auto& c : cases) {
    ControlError error;
    EXPECT_FALSE(decodeRequest(c.text, &error)) << c.text;
    EXPECT_EQ(error.code, c.code) << c.text;
    EXPECT_EQ(error.domain, kControlErrorDomain);
    EXPECT_FALSE(error.description.empty());
  }
}

TEST(ControlMessage, OversizedMessagesAreRefusedBeforeParsing) {
  std::string big =
      R"({"cmd":"message","data":")" + std::string(kMaxControlMessageSize, 'A') + "\"}";
  ControlError error;
  EXPECT_FALSE(decodeRequest(big, &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_FALSE(decodeDaemonMessage(big, &error));
}

TEST(ControlMessage, LenientWhereTheWireAllowsIt) {
  // Missing options and reason take their defaults; unknown keys are ignored.
  auto start = decodeRequest(R"({"cmd":"start","extra":true})");
  ASSERT_TRUE(start);
  EXPECT_TRUE(start->options.is_object());
  auto stop = decodeRequest(R"({"cmd":"stop"})");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->reason, 0);
}

TEST(ControlMessage, BadDaemonMessagesAreRefused) {
  for (const char* text :
       {R"({"status":6,"error":null})", R"({"status":"3"})", R"({"status":1,"error":{"code":1}})",
        R"({"reply":5})", R"({"reply":"@@"})", R"({"error":"x"})", R"({"other":1})"}) {
    EXPECT_FALSE(decodeDaemonMessage(text)) << text;
  }
}
