// The three public-address lookups against the geo stand-in, and their answer readers.
#include <gtest/gtest.h>

#include "JolvexAPI/JVXCrypto.h"
#include "gelmora/Services/TsfetchIPService.h"
#include "platform/dispatch/PumpedQueue.h"
#include "standin/GeoStandin.h"

namespace {

struct Outcome {
  std::vector<TsUserGEOInfo> values;
  std::optional<platform::reactive::Error> error;
  bool completed = false;
  bool done() const { return error || completed; }
};

class GeoLookup : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(geo.start()); }
  void TearDown() override { geo.stop(); }

  Outcome run(const TsfetchIPService::GeoSignal& signal) {
    auto out = std::make_shared<Outcome>();
    auto d = signal.subscribe({[out](const TsUserGEOInfo& v) { out->values.push_back(v); },
                               [out](const platform::reactive::Error& e) { out->error = e; },
                               [out] { out->completed = true; }});
    EXPECT_TRUE(main.queue().runUntil([&] { return out->done(); }));
    return *out;
  }

  platform::dispatch::ScopedMainQueue main;
  standin::GeoStandin geo;
};

TsUserGEOInfo info(std::optional<std::string> ip, std::optional<std::string> code,
                   std::optional<std::string> country, std::optional<std::string> city) {
  return TsUserGEOInfo{std::move(ip), std::move(code), std::move(country), std::move(city)};
}

TEST_F(GeoLookup, ServiceEndpoint) {
  auto out = run(TsfetchIPService::tarvoService(geo.serviceUrl()));
  ASSERT_TRUE(out.completed);
  ASSERT_EQ(out.values.size(), 1u);
  EXPECT_EQ(out.values[0], info("203.0.113.9", std::nullopt, "Examplestan", "Sample City"));
  auto requests = geo.server().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "mobile=mobile");
}

TEST_F(GeoLookup, ServiceAnswersThatCarryNothing) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    TsUserGEOInfo expected;
  } cases[] = {
      {"no city",
       [&] {
         geo.setServiceData({{"country", "Ex"}, {"ip", "203.0.113.1"}});
       },
       info("203.0.113.1", std::nullopt, "Ex", std::nullopt)},
      {"one blank", [&] { geo.setBlank(true); }, {}},
      {"garbage", [&] { geo.setGarbage(true); }, {}},
      {"not JSON", [&] { geo.setServicePlaintext("country=Ex"); }, {}},
      {"data not an object", [&] { geo.setServicePlaintext(R"({"data":[1,2]})"); }, {}},
      {"wrong kinds",
       [&] {
         geo.setServiceData({{"country", 5}, {"city", nullptr}, {"ip", "1.2.3.4"}});
       },
       info("1.2.3.4", std::nullopt, std::nullopt, std::nullopt)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    geo.setBlank(false);
    geo.setGarbage(false);
    geo.setServicePlaintext(std::nullopt);
    c.arrange();
    auto out = run(TsfetchIPService::tarvoService(geo.serviceUrl()));
    EXPECT_TRUE(out.completed);
    ASSERT_EQ(out.values.size(), 1u);
    EXPECT_EQ(out.values[0], c.expected);
  }
}

TEST_F(GeoLookup, ServiceTransportFailuresAreErrors) {
  std::string url = geo.serviceUrl();
  geo.setSilent(true);
  auto slow = run(TsfetchIPService::tarvoService(url, 0.3));
  ASSERT_TRUE(slow.error);
  EXPECT_TRUE(slow.values.empty());
  geo.stop();
  auto refused = run(TsfetchIPService::tarvoService(url));
  ASSERT_TRUE(refused.error);
  EXPECT_TRUE(refused.values.empty());
}

TEST_F(GeoLookup, OutsideLookupsNeverFail) {
  auto taobao = run(TsfetchIPService::taobaoService(geo.taobaoUrl()));
  ASSERT_EQ(taobao.values.size(), 1u);
  EXPECT_EQ(taobao.values[0], info("203.0.113.9", "EX", std::nullopt, std::nullopt));
  EXPECT_EQ(geo.server().requests().back().query, "ip=myip");
  auto echo = run(TsfetchIPService::ipipService(geo.echoUrl()));
  ASSERT_EQ(echo.values.size(), 1u);
  EXPECT_EQ(echo.values[0].publicIP, "203.0.113.9");

  geo.setGarbage(true);
  for (auto signal : {TsfetchIPService::taobaoService(geo.taobaoUrl()),
                      TsfetchIPService::ipipService(geo.echoUrl())}) {
    auto out = run(signal);
    EXPECT_TRUE(out.completed);
    ASSERT_EQ(out.values.size(), 1u);
    EXPECT_EQ(out.values[0], TsUserGEOInfo{});
  }
  std::string taobaoUrl = geo.taobaoUrl(), echoUrl = geo.echoUrl();
  geo.stop();
  for (auto signal :
       {TsfetchIPService::taobaoService(taobaoUrl), TsfetchIPService::ipipService(echoUrl)}) {
    auto out = run(signal);
    EXPECT_TRUE(out.completed);
    ASSERT_EQ(out.values.size(), 1u);
    EXPECT_EQ(out.values[0], TsUserGEOInfo{});
  }
}

TEST_F(GeoLookup, DisposedRequestDeliversNothing) {
  geo.setSilent(true);
  bool anything = false;
  auto d = TsfetchIPService::tarvoService(geo.serviceUrl())
               .subscribe({[&](const TsUserGEOInfo&) { anything = true; },
                           [&](const platform::reactive::Error&) { anything = true; },
                           [&] { anything = true; }});
  ASSERT_TRUE(geo.server().waitForHeld(1));
  d.dispose();
  geo.server().release();
  main.queue().runUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_FALSE(anything);
}

TEST_F(GeoLookup, EachSubscriptionAsksAgain) {
  auto signal = TsfetchIPService::tarvoService(geo.serviceUrl());
  run(signal);
  run(signal);
  EXPECT_EQ(geo.server().requestCount(), 2u);
}

TEST(GeoAnswers, EchoPage) {
  struct Case {
    const char* body;
    std::optional<std::string> ip;
  } cases[] = {{"ip ok 203.0.113.9 from x", "203.0.113.9"},
               {"ip ok ", std::nullopt},
               {"abcdef", std::nullopt},
               {"123456127.1 rest", "127.1"},
               {"ip ok 203.0.113.9", std::nullopt},  // no blank after it
               {"ip ok 999.1.1.1 x", std::nullopt},
               {"\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xBD\xA0\xE5\xA5\xBD"
                "10.0.0.1 x",
                "10.0.0.1"},
               {"\xff\xff\xff\xff\xff\xff\xff", std::nullopt},
               {"", std::nullopt}};
  for (const auto& c : cases) {
    EXPECT_EQ(TsfetchIPService::parseIpipAnswer(c.body).publicIP, c.ip) << c.body;
  }
}

TEST(GeoAnswers, FirstOutsideLookup) {
  struct Case {
    const char* body;
    std::optional<std::string> ip, code;
  } cases[] = {
      {R"({"code":0,"data":{"ip":"1.2.3.4","country_id":"EX"}})", "1.2.3.4", "EX"},
      {R"({"code":"0","data":{"ip":"1.2.3.4"}})", "1.2.3.4", std::nullopt},
      {R"({"code":1,"data":{"ip":"1.2.3.4"}})", std::nullopt, std::nullopt},
      {R"({"code":0.5,"data":{"ip":"1.2.3.4"}})", "1.2.3.4", std::nullopt},
      {R"({"code":-0.9,"data":{"ip":"1.2.3.4"}})", "1.2.3.4", std::nullopt},
      {R"({"code":588888888388888888888,"data":{"ip":"1.2.3.4"}})", std::nullopt, std::nullopt},
      {R"({"code":-1e300,"data":{"ip":"1.2.3.4"}})", std::nullopt, std::nullopt},
      {R"({"data":{"ip":"1.2.3.4"}})", std::nullopt, std::nullopt},
      {R"({"code":0,"data":"x"})", std::nullopt, std::nullopt},
      {R"([0])", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt}};
  for (const auto& c : cases) {
    auto i = TsfetchIPService::parseTaobaoAnswer(c.body);
    EXPECT_EQ(i.publicIP, c.ip) << c.body;
    EXPECT_EQ(i.countryCode, c.code) << c.body;
  }
}

TEST(GeoAnswers, ServiceEnvelope) {
  auto enveloped = [](const std::string& plain) {
    return JVXCrypto::encryptedStringOfString(plain);
  };
  EXPECT_EQ(TsfetchIPService::parseServiceAnswer(
                enveloped(R"({"data":{"ip":"1.1.1.1","country":"A","city":"B"}})")),
            info("1.1.1.1", std::nullopt, "A", "B"));
  EXPECT_EQ(TsfetchIPService::parseServiceAnswer(enveloped(" ")), TsUserGEOInfo{});
  EXPECT_EQ(TsfetchIPService::parseServiceAnswer(""), TsUserGEOInfo{});
  EXPECT_EQ(TsfetchIPService::parseServiceAnswer(R"({"data":{"ip":"1.1.1.1"}})"), TsUserGEOInfo{});
}

}  // namespace
