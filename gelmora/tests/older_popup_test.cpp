// Pop-ups of older replies, account panel values, page query and window table, page commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gelmora/Legacy/LegacyAccountData.h"
#include "gelmora/Legacy/LegacyPageCommands.h"
#include "gelmora/Legacy/LegacyPageQuery.h"
#include "gelmora/Legacy/LegacyPopup.h"
#include "gelmora/Service/Tools/Crypto.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/TsStringHelper.h"

namespace {

using json = nlohmann::json;
using Kind = LegacyPopup::Kind;
using Action = LegacyPopup::Action;

json buttons(json list) {
  return {
      {"code", 0},
      {"data",
       {{"pop", 1}, {"pop_title", "标题"}, {"pop_content", "内容"}, {"buttons", std::move(list)}}}};
}

struct PopupCase {
  const char* name;
  std::optional<json> reply;
  Kind kind;
  std::string title;
  std::string content;
};

TEST(OlderPopup, ReplyTable) {
  std::vector<PopupCase> cases = {
      {"no reply", std::nullopt, Kind::None, "", ""},
      {"101 bare", json{{"code", 101}}, Kind::AccountException, "提示",
       "您的账户发生异常，请及时修改密码"},
      {"101 info", json{{"code", 101}, {"info", "冻结"}}, Kind::AccountException, "提示", "冻结"},
      {"101 pop_content first",
       json{{"code", "101"}, {"info", "i"}, {"data", {{"pop_content", "p"}}}},
       Kind::AccountException, "提示", "p"},
      {"0 without data", json{{"code", 0}}, Kind::None, "", ""},
      {"0 data not an object", json{{"code", 0}, {"data", "x"}}, Kind::None, "", ""},
      {"pop absent", json{{"code", 0}, {"data", {{"pop_title", "t"}}}}, Kind::None, "", ""},
      {"pop 0", json{{"code", 0}, {"data", {{"pop", 0}}}}, Kind::None, "", ""},
      {"pop 1 defaults", json{{"code", 0}, {"data", {{"pop", 1}}}}, Kind::Plain, "提示", "弹窗"},
      {"pop text 1", json{{"code", 0}, {"data", {{"pop", "1"}, {"pop_content", 5}}}}, Kind::Plain,
       "提示", "5"},
      {"buttons empty", buttons(json::array()), Kind::Plain, "标题", "内容"},
      {"buttons not a list", buttons("x"), Kind::Plain, "标题", "内容"},
      {"slot 1 without action", buttons({{{"text", "a"}}}), Kind::Plain, "标题", "内容"},
      {"one button", buttons({{{"action", "buy"}, {"text", "充值"}}}), Kind::Buttons, "标题",
       "内容"},
      {"other code", json{{"code", 3}, {"data", {{"pop", 1}}}}, Kind::None, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = LegacyPopup::fromReply(c.reply);
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.title, c.title);
    EXPECT_EQ(p.content, c.content);
  }
  std::string line;
  LegacyPopup::fromReply(json{{"code", 0}}, &line);
  EXPECT_EQ(line, "data 数据为空");
}

TEST(OlderPopup, ButtonSlotsAndWhatTheyDo) {
  // Three buttons: the first fills slot 1, the third ends in slot 2; a button without url keeps
  // the slot's url.
  auto p = LegacyPopup::fromReply(
      buttons({{{"action", "xbuyx"}, {"text", "一"}},
               {{"action", "http://a"}, {"text", "二"}, {"url", "http://a.example/"}},
               {{"action", "http://b"}, {"text", "三"}}}));
  ASSERT_EQ(p.kind, Kind::Buttons);
  EXPECT_EQ(p.first.text, "一");
  EXPECT_EQ(p.second.text, "三");
  EXPECT_TRUE(p.hasSecond);
  EXPECT_EQ(p.effectOf(1000).action, Action::Recharge);
  auto second = p.effectOf(1001);
  EXPECT_EQ(second.action, Action::OpenUrl);
  EXPECT_EQ(second.url, "http://a.example/");

  struct Case {
    const char* name;
    json button;
    Action action;
  };
  std::vector<Case> cases = {
      {"http action without url", {{"action", "http://x"}, {"text", "t"}}, Action::Nothing},
      {"file url never opened",
       {{"action", "http://x"}, {"text", "t"}, {"url", "file:///etc/passwd"}},
       Action::Nothing},
      {"https url",
       {{"action", "http://x"}, {"text", "t"}, {"url", "https://a.example/"}},
       Action::OpenUrl},
      {"Buy is case-sensitive", {{"action", "Buy"}, {"text", "t"}}, Action::Nothing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto q = LegacyPopup::fromReply(buttons(json::array({c.button})));
    EXPECT_EQ(q.effectOf(1000).action, c.action);
    EXPECT_FALSE(q.hasSecond);
    EXPECT_EQ(q.effectOf(1001).action, Action::Nothing);
  }
  // Slot 2 needs both an action and a text.
  auto r =
      LegacyPopup::fromReply(buttons({{{"action", "buy"}, {"text", "a"}}, {{"action", "buy"}}}));
  EXPECT_FALSE(r.hasSecond);
}

TEST(OlderAccountData, KeysPresentOnlyAndNumbersAsText) {
  auto a = LegacyAccountData::fromReply({{"data",
                                          {{"username", "张三"},
                                           {"bandwidth", 20},
                                           {"expire_date", "2027-01-01"},
                                           {"expired_and_pause_status", "3"},
                                           {"traffic_info", {{"x", 1}}}}}});
  ASSERT_TRUE(a);
  EXPECT_FALSE(a->userName);  // name without uid: the label keeps its text
  EXPECT_EQ(a->bandwidth, "20");
  EXPECT_EQ(a->expireDate, "2027-01-01");
  EXPECT_FALSE(a->route);
  EXPECT_EQ(a->status, 3);
  EXPECT_TRUE(a->trafficInfo);
  auto b = LegacyAccountData::fromReply({{"data", {{"username", "u"}, {"uid", 1234}}}});
  ASSERT_TRUE(b && b->userName);
  EXPECT_EQ(*b->userName, "u(" + TsStringHelper::mixUid(1234) + ")");
  EXPECT_FALSE(LegacyAccountData::fromReply({{"data", {1, 2}}}));
  EXPECT_FALSE(LegacyAccountData::fromReply(json::array()));

  EXPECT_FALSE(LegacyAccountData::noticesFor(1));
  auto n2 = LegacyAccountData::noticesFor(2);
  ASSERT_TRUE(n2);
  EXPECT_TRUE(n2->lowSpeed && n2->addTime && !n2->addFlow);
  auto n3 = LegacyAccountData::noticesFor(3);
  EXPECT_TRUE(n3->lowSpeed && !n3->addTime && n3->addFlow);
}

TEST(OlderPageQuery, QueryLoginCodeAndWindowTable) {
  std::string q = LegacyPageQuery::pageQuery("12", "1.0.2.7", "AABBCCDDEEFF", 42);
  EXPECT_EQ(q,
            "system_name=macOS&os_version=12&client_version=1.0.2.7&system_plat=pc&mac=AABBCCDDEEFF"
            "&uid=42&Language=zh-CN&wx_installed=0");
  std::string code = LegacyPageQuery::loginCode(q);
  // Percent-decoded and unscrambled, the login code is the query again.
  std::string decoded;
  for (size_t i = 0; i < code.size(); ++i) {
    if (code[i] == '%' && i + 2 < code.size()) {
      decoded += static_cast<char>(std::stoi(code.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += code[i];
    }
  }
  EXPECT_EQ(Crypto::decryptedDataFromString(decoded), q);

  LegacyPageQuery::Inputs in{"older.test", std::nullopt, "pay.example", "https://chat.example/c",
                             LegacyPageQuery::pageSuffix("CODE")};
  using W = LegacyPageQuery::Window;
  struct Row {
    W w;
    std::string address, key, title;
    int width, height;
  };
  std::vector<Row> rows = {
      {W::Share, "http://older.test/account/invitation?is_pc=1&logincode=CODE", "", "邀请好友", 650,
       680},
      {W::Recharge, "http://pay.example/package?is_pc=1&logincode=CODE", "", "立即充值", 1100, 670},
      {W::Question, "http://older.test/help/baike-list?platform=OSX", "url_question", "问题百科",
       500, 500},
      {W::Feedback, "https://chat.example/c", "url_feedback", "意见反馈", 500, 584},
      {W::MyOrder, "http://older.test/account/order-list?is_pc=1&logincode=CODE", "url_myprder",
       "我的订单", 650, 680},
  };
  for (const auto& r : rows) {
    auto s = LegacyPageQuery::windowPage(r.w, in);
    EXPECT_EQ(s.address, r.address);
    EXPECT_EQ(s.storeKey, r.key);
    EXPECT_EQ(s.title, r.title);
    EXPECT_EQ(s.width, r.width);
    EXPECT_EQ(s.height, r.height);
  }
  in.payList = json::array({"https://pay1.example", "x"});
  EXPECT_EQ(LegacyPageQuery::windowPage(W::Recharge, in).address,
            "https://pay1.example/package?is_pc=1&logincode=CODE");
  in.payList = json::array();  // empty list: the built-in base
  EXPECT_EQ(LegacyPageQuery::windowPage(W::Recharge, in).address,
            "http://pay.example/package?is_pc=1&logincode=CODE");

  EXPECT_EQ(LegacyPageQuery::windowForToken("OpenShareWindow"), W::Share);
  EXPECT_EQ(LegacyPageQuery::windowForToken("OpenFeedbackWindow"), W::Feedback);
  EXPECT_FALSE(LegacyPageQuery::windowForToken("openfeedbackwindow"));
}

class RecordingMain : public LegacyMainPort {
 public:
  void showWebWindow(const std::string& t) override { log.push_back("window:" + t); }
  void showWebDialog(const std::string& t) override { log.push_back("dialog:" + t); }
  void switchSpeedView() override { log.push_back("speed"); }
  void setClipboard(const std::string& t) override { log.push_back("clip:" + t); }
  void rechargeDone() override { log.push_back("done"); }
  std::vector<std::string> log;
};

TEST(OlderPageCommands, DispatcherTable) {
  LOG::setConsoleSink([](const std::string&) {});
  using V = LegacyWebVariant;
  struct Case {
    const char* name;
    V variant;
    std::string command, value;
    bool close;
    std::vector<std::string> calls;
  };
  std::vector<Case> cases = {
      {"close only", V::FeedBackB, "ShowWindow", R"({"close_current_window":true})", true, {}},
      {"token, stays",
       V::FeedBackB,
       "ShowWindow",
       R"({"window_token":"OpenShareWindow"})",
       false,
       {"window:OpenShareWindow"}},
      {"token, false",
       V::Question,
       "ShowWindow",
       R"({"window_token":"OpenRechargeWindow","close_current_window":false})",
       false,
       {"window:OpenRechargeWindow"}},
      {"not an object", V::FeedBackB, "ShowWindow", "[1]", false, {}},
      {"not JSON", V::FeedBackB, "ShowWindow", "{", false, {}},
      {"dialog", V::Feedback, "ShowWebDialog", "你好", true, {"dialog:你好"}},
      {"close", V::MyOrder, "CloseWindow", "", true, {}},
      {"switch", V::FeedBackB, "SwitchSpeedView", "", true, {"speed"}},
      {"clipboard stays", V::FeedBackB, "SetClipboard", "abc", false, {"clip:abc"}},
      {"case-sensitive", V::FeedBackB, "closewindow", "", false, {}},
      {"recharge close", V::Recharge, "CloseWindow", "", true, {"done"}},
      {"recharge dialog", V::Recharge, "ShowWebDialog", "x", true, {"dialog:x", "done"}},
      {"recharge switch", V::Recharge, "SwitchSpeedView", "", true, {"speed", "done"}},
      {"recharge token only",
       V::Recharge,
       "ShowWindow",
       R"({"window_token":"OpenShareWindow"})",
       false,
       {"window:OpenShareWindow"}},
      {"recharge token and close",
       V::Recharge,
       "ShowWindow",
       R"({"window_token":"OpenShareWindow","close_current_window":"true"})",
       true,
       {"window:OpenShareWindow", "done"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMain main;
    auto r = LegacyPageCommands::dispatch(c.variant, c.command, c.value, &main);
    EXPECT_EQ(r.close, c.close);
    EXPECT_EQ(main.log, c.calls);
  }
  // Without a main window only the closing remains.
  EXPECT_TRUE(LegacyPageCommands::dispatch(V::FeedBackB, "SwitchSpeedView", "", nullptr).close);
  EXPECT_TRUE(LegacyPageCommands::dispatch(V::Recharge, "CloseWindow", "", nullptr).close);
  // Share's title: only through the plain call, only when not empty.
  EXPECT_EQ(LegacyPageCommands::dispatch(V::Share, "SetWindowTitle", "标题", nullptr).title,
            "标题");
  EXPECT_FALSE(LegacyPageCommands::dispatch(V::Share, "SetWindowTitle", "", nullptr).title);
  EXPECT_FALSE(LegacyPageCommands::dispatch(V::Share, "SetWindowTitle", "t", nullptr, true).title);
  EXPECT_FALSE(LegacyPageCommands::dispatch(V::FeedBackB, "SetWindowTitle", "t", nullptr).title);
  EXPECT_TRUE(LegacyPageCommands::hasWithReturn(V::FeedBackB));
  EXPECT_TRUE(LegacyPageCommands::hasWithReturn(V::Share));
  EXPECT_FALSE(LegacyPageCommands::hasWithReturn(V::Recharge));
  // Each window carries the title of the page it shows; FeedBackB's is the feedback page's.
  const std::pair<V, const char*> titles[] = {{V::FeedBackB, "意见反馈"}, {V::Feedback, "意见反馈"},
                                              {V::Recharge, "立即充值"},  {V::MyOrder, "我的订单"},
                                              {V::Question, "问题百科"},  {V::Share, "邀请好友"}};
  for (const auto& [variant, title] : titles) {
    EXPECT_EQ(LegacyPageCommands::title(variant), title) << LegacyPageCommands::className(variant);
  }
  LOG::setConsoleSink({});
}

}  // namespace
