// Checks of the older login window and the welcome window's start-up decisions.
#include <gtest/gtest.h>

#include "gelmora/Legacy/LegacyLoginRules.h"
#include "gelmora/Legacy/LegacyWelcome.h"

namespace {

using json = nlohmann::json;
using CR = LegacyLoginRules::CodeRequest;

TEST(OlderLoginRules, CodeRequestStepsInOrder) {
  struct Case {
    const char* name;
    LegacyLoginForm form;
    int formNo, times;
    CR::Kind kind;
    std::string message, info;
  };
  std::vector<Case> cases = {
      {"no country code", {"", "", "", ""}, 1, 0, CR::Fail, "获取验证码失败", "国家区号不能为空"},
      {"no phone", {"+86", "", "", ""}, 1, 0, CR::Fail, "获取验证码失败", "手机号不能为空"},
      {"space in phone",
       {"+86", "138 0000", "", ""},
       1,
       0,
       CR::Fail,
       "获取验证码失败",
       "请输入合法的手机号"},
      {"plus in phone",
       {"+86", "+8613800", "", ""},
       1,
       0,
       CR::Fail,
       "获取验证码失败",
       "请输入合法的手机号"},
      {"fourth request on form 1", {"+86", "13800", "", ""}, 1, 3, CR::SwitchToForm2, "", ""},
      {"wrong picture",
       {"+86", "13800", "", "111111"},
       2,
       3,
       CR::Fail,
       "登录失败",
       "图形验证码输入错误"},
      {"right picture", {"+86", "13800", "", "123456"}, 2, 3, CR::Send, "", ""},
      {"plain", {"+86", "13800", "", ""}, 1, 2, CR::Send, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = LegacyLoginRules::checkCodeRequest(c.form, c.formNo, c.times, "123456");
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.failure.message, c.message);
    EXPECT_EQ(r.failure.info, c.info);
  }
  EXPECT_EQ(LegacyLoginRules::codeRequestFailed(std::nullopt).info,
            "验证码发送失败，查看本地网络连接是否正常");
  EXPECT_EQ(LegacyLoginRules::codeRequestFailed("超时").info, "超时");
}

TEST(OlderLoginRules, SignInStepsInOrder) {
  struct Case {
    const char* name;
    LegacyLoginForm form;
    int formNo;
    std::optional<std::string> info;
    bool newPicture;
  };
  std::vector<Case> cases = {
      {"no country code", {"", "1", "1", ""}, 1, "国家区号不能为空", false},
      {"no phone", {"+86", "", "1", ""}, 1, "手机号不能为空", false},
      {"picture before code", {"+86", "1", "", "000000"}, 2, "图形验证码输入错误", true},
      {"no code", {"+86", "1", "", "123456"}, 2, "验证码不能为空", false},
      {"bad phone", {"+86", "1a", "1", ""}, 1, "请输入合法的手机号", false},
      {"all pass", {"+86", "13800", "1234", ""}, 1, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = LegacyLoginRules::checkSignIn(c.form, c.formNo, "123456");
    ASSERT_EQ(r.has_value(), c.info.has_value());
    if (r) {
      EXPECT_EQ(r->message, "登录失败");
      EXPECT_EQ(r->info, *c.info);
      EXPECT_EQ(r->newPicture, c.newPicture);
    }
  }
}

TEST(OlderLoginRules, PictureCodeKeepsLeadingZeros) {
  std::uint32_t draws[] = {10, 4294967295u, 3, 20, 7, 100};
  int i = 0;
  EXPECT_EQ(LegacyLoginRules::pictureCode([&] { return draws[i++]; }), "053070");
}

TEST(OlderWelcome, HostListTextAndStartupReply) {
  EXPECT_EQ(LegacyWelcome::hostList(json::array({"a", 1, "b"}), "f1", "f2"),
            (std::vector<std::string>{"a", "b", "f1", "f2"}));
  EXPECT_EQ(LegacyWelcome::hostList(json("x"), "f1", ""), (std::vector<std::string>{"f1"}));
  EXPECT_EQ(LegacyWelcome::loadingText(false, 1), "正在启动..");
  EXPECT_EQ(LegacyWelcome::loadingText(true, 2), "自动登录...");
  EXPECT_EQ(LegacyWelcome::loadingText(false, 0), "正在启动.");

  auto r = LegacyWelcome::readStartup(
      {{"data", {{"domain_list", json::array()}, {"pay_domain_list", {"p"}}, {"outdated", "1"}}}});
  EXPECT_FALSE(r.domainList);
  ASSERT_TRUE(r.payList);
  EXPECT_TRUE(r.outdated);
  EXPECT_FALSE(LegacyWelcome::readStartup({{"data", {{"outdated", "x"}}}}).outdated);
  EXPECT_FALSE(LegacyWelcome::readStartup({{"data", 1}}).outdated);
  EXPECT_EQ(LegacyWelcome::tokenOf(json{{"data", {{"token", "t1"}}}}), "t1");
  EXPECT_FALSE(LegacyWelcome::tokenOf(json{{"data", "t1"}}));
}

}  // namespace
