#include <gtest/gtest.h>
#include <stdlib.h>

#include "TestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/Log.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "standin/AddressEcho.h"

namespace {

class EchoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(echo_.start());
    useEchoURL(echo_.url());
    TsSystemInformation::resetPublicAddressCache();
    gelmora::setLogSink([](const std::string&) {});
  }
  void TearDown() override {
    AppEnvironment::setCurrentEnvironment(nullptr);
    ::unsetenv(AppEnvironment::kBrandFileVariable);
    TsSystemInformation::resetPublicAddressCache();
    gelmora::setLogSink(nullptr);
    echo_.stop();
  }
  void useEchoURL(const std::string& url) {
    auto file = dir_.write("brand.json", "{\"IPEchoURL\": \"" + url + "\"}");
    ::setenv(AppEnvironment::kBrandFileVariable, file.c_str(), 1);
    AppEnvironment::setCurrentEnvironment(AppEnvironment::make<AppOxlaEnvironment>());
  }
  TempDir dir_;
  standin::AddressEcho echo_;
};

TEST_F(EchoTest, AnswersFollowTheReadingRules) {
  const std::pair<std::string, std::string> cases[] = {
      {"Hello, your address is 10.1.2.3 and more words", "10.1.2.3"},
      {"198.51.100.20", "198.51.100.20"},
      {"In 2024 you came from 10.1.2.3", "127.0.0.1"},
      {std::string(31, '1'), "127.0.0.1"},
      {std::string(130, 'x') + " 10.1.2.3", "127.0.0.1"},
      {"", "127.0.0.1"},
      {"\xfe\xff 10.1.2.3", "127.0.0.1"},
      {"999.1.2.3", "127.0.0.1"},
  };
  for (const auto& [body, address] : cases) {
    TsSystemInformation::resetPublicAddressCache();
    echo_.setBody(body);
    EXPECT_EQ(TsSystemInformation::localIPAddress(), address) << body;
  }
  const auto requests = echo_.server().requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().method, "GET");
  EXPECT_EQ(requests.back().header("User-Agent"), "curl/7.43.0");
}

TEST_F(EchoTest, FailuresAreRetriedAndSuccessIsKept) {
  echo_.server().setStatus(500);
  EXPECT_EQ(TsSystemInformation::localIPAddress(), "127.0.0.1");
  echo_.server().setStatus(std::nullopt);
  echo_.server().setGarbage(true);
  EXPECT_EQ(TsSystemInformation::localIPAddress(), "127.0.0.1");
  echo_.server().setGarbage(false);
  EXPECT_EQ(echo_.server().requestCount(), 2u);

  echo_.setBody("you are 192.0.2.44");
  EXPECT_EQ(TsSystemInformation::localIPAddress(), "192.0.2.44");
  EXPECT_EQ(echo_.server().requestCount(), 3u);
  // Kept for the run: no further request, even when the answer would differ.
  echo_.setBody("you are 192.0.2.45");
  EXPECT_EQ(TsSystemInformation::localIPAddress(), "192.0.2.44");
  EXPECT_EQ(echo_.server().requestCount(), 3u);
}

TEST_F(EchoTest, NoServerOrNoAddressGivesTheFallback) {
  // Nothing listens on port 1 of the loopback address.
  useEchoURL("http://127.0.0.1:1/");
  EXPECT_EQ(TsSystemInformation::localIPAddress(), "127.0.0.1");
  // An empty setting switches the lookup off.
  useEchoURL("");
  EXPECT_EQ(TsSystemInformation::localIPAddress(), "127.0.0.1");
  // Only http and https are asked.
  useEchoURL("file:///etc/hostname");
  EXPECT_EQ(TsSystemInformation::localIPAddress(), "127.0.0.1");
}

}  // namespace
