// The web stand-in's outside-account bind page over loopback: what a login code links, and the
// requests it refuses without linking anything.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <string>

#include "PexaraAPI/PXACrypto.h"
#include "standin/AccountServer.h"
#include "standin/HttpStandin.h"
#include "standin/WebStandin.h"

using nlohmann::json;

namespace {

std::string urlEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// A login code as the client makes it: the scrambled form text, percent-encoded.
std::string loginCode(const std::string& uid) {
  return urlEncode(PXACrypto::encryptedStringOfString(
      "system_name=macOS&os_version=1.0&client_version=1.0&system_plat=pc&mac=m&uid=" + uid +
      "&language=en"));
}

// The message text the page hands to "userLoginSuccess", read back out of its script.
json reported(const std::string& page) {
  const std::string call = "callHandler('userLoginSuccess', ";
  const size_t at = page.find(call);
  if (at == std::string::npos) return json();
  const size_t end = page.find(");\n", at);
  const json literal =
      json::parse(page.substr(at + call.size(), end - at - call.size()), nullptr, false);
  if (!literal.is_string()) return json();
  return json::parse(literal.get<std::string>(), nullptr, false);
}

class BindPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(account.start());
    ASSERT_TRUE(web.start());
    standin::WebStandin::addBindThirdAccountPage(web, account);
    standin::account::Account a;
    a.uid = 5;
    a.username = "</script><b>ann";
    a.phone = "13800000000";
    account.addAccount(a);
  }
  void TearDown() override {
    web.stop();
    account.stop();
  }
  httplib::Result get(const std::string& query) {
    httplib::Client client("127.0.0.1", web.port());
    return client.Get("/auth/bind-third-account-redirect?" + query);
  }
  json linked() { return account.answer("/q5client/user/linked-sns", json{{"uid", 5}})["data"]; }

  standin::account::AccountServer account;
  standin::HttpStandin web;
};

TEST_F(BindPageTest, LinksTheProviderForTheLoginCodesAccount) {
  auto r = get("third_account_provider=google&platform=mac&logincode=" + loginCode("5"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(linked()["linked_sns"]["google"], 1);
  EXPECT_EQ(linked()["linked_name"]["google"], "google-5");
  const json message = reported(r->body);
  ASSERT_TRUE(message.is_object()) << r->body;
  EXPECT_EQ(message["code"], 0);
  EXPECT_EQ(message["data"]["uid"], 5);
  EXPECT_EQ(message["data"]["phone_number"], "13800000000");
  // Store text cannot end the script.
  EXPECT_EQ(r->body.find("</script><b>"), std::string::npos);
  EXPECT_EQ(message["data"]["username"], "</script><b>ann");
}

TEST_F(BindPageTest, BadRequestsLinkNothingAndReportTheFailure) {
  const struct {
    const char* what;
    std::string query;
  } cases[] = {
      {"no login code", "third_account_provider=google&platform=mac"},
      {"not scrambled", "third_account_provider=google&platform=mac&logincode=uid%3D5"},
      {"no uid", "third_account_provider=google&logincode=" + loginCode("")},
      {"uid not a number", "third_account_provider=google&logincode=" + loginCode("5x")},
      {"no such account", "third_account_provider=google&logincode=" + loginCode("6")},
      {"unknown provider", "third_account_provider=myspace&logincode=" + loginCode("5")},
      {"no provider", "platform=mac&logincode=" + loginCode("5")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = get(c.query);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    const json message = reported(r->body);
    ASSERT_TRUE(message.is_object()) << r->body;
    EXPECT_EQ(message["code"], 1);
    EXPECT_FALSE(message.value("info", "").empty());
    const json now = linked();
    for (const auto& [provider, flag] : now.at("linked_sns").items())
      if (provider != "phone" && provider != "mail") {
        EXPECT_EQ(flag, 0) << provider;
      }
  }
}

}  // namespace
