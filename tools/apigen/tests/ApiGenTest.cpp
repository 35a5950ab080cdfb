#include <gtest/gtest.h>

#include <string>

#include "Emitter.h"
#include "Schema.h"

namespace {

// Parses one schema text as "t.schema" and returns the first error text, or "" when it passes.
std::string firstError(const std::string& text) {
  apigen::Parser p;
  p.addText("t.schema", text);
  if (p.finish()) return "";
  return p.errors().front().text();
}

TEST(ApiGenSchema, RejectsBadSchemasWithFileAndLine) {
  struct Case {
    const char* what;
    const char* text;
    const char* error;  // expected prefix "file:line: ..." fragment
  } cases[] = {
      {"call name not from its path",
       "model JVX_REQ_USER_LOGIN\n"
       "call JVX_API_USER_SIGNIN base=JVXServiceAPI path=/q5client/user/login "
       "req=JVX_REQ_USER_LOGIN resp=-\n",
       "t.schema:2: call 'JVX_API_USER_SIGNIN' should be named 'JVX_API_USER_LOGIN'"},
      {"req model without the call's words",
       "model JVX_REQ_USER_PROFILE\n"
       "\n"
       "call JVX_API_USER_LOGIN base=JVXServiceAPI path=/q5client/user/login "
       "req=JVX_REQ_USER_PROFILE resp=-\n",
       "t.schema:3: req model 'JVX_REQ_USER_PROFILE' lacks the call's words"},
      {"resp model without the call's words",
       "model JVX_RESP_USER_LOGOUT\n"
       "call JVX_API_USER_HEARTBEAT base=JVXServiceAPI path=/q5client/user/heartbeat req=- "
       "resp=JVX_RESP_USER_LOGOUT\n",
       "t.schema:2: resp model 'JVX_RESP_USER_LOGOUT' lacks the call's words"},
      {"unknown kind", "model M\n  a text\n  b numbr\n", "t.schema:3: unknown kind 'numbr'"},
      {"unknown nested model", "model M\n  a OTHER\n", "t.schema:2: unknown model 'OTHER'"},
      {"unknown list model", "model M\n\n  a [OTHER]\n", "t.schema:3: unknown model 'OTHER'"},
      {"unknown call model",
       "call JVX_API_RULE_LIST base=JVXServiceAPI path=/q5client/rule/list req=- resp=NOPE\n",
       "t.schema:1: unknown resp model 'NOPE'"},
      {"duplicate model", "model M\nmodel N\nmodel M\n", "t.schema:3: duplicate model 'M'"},
      {"duplicate member", "model M\n  a text\n  a number\n",
       "t.schema:3: duplicate member 'a' in M"},
      {"duplicate JSON key", "model M\n  id text\n  ID text key=id\n",
       "t.schema:3: duplicate JSON key 'id' in M"},
      {"duplicate call",
       "call JVX_API_USER_LOGIN base=JVXServiceAPI path=/q5client/user/login req=- resp=-\n"
       "call JVX_API_USER_LOGIN base=JVXServiceAPI path=/q5client/user/login req=- resp=-\n",
       "t.schema:2: duplicate call 'JVX_API_USER_LOGIN'"},
      {"field outside a model", "  a text\n", "t.schema:1: field line 'a' outside a model"},
      {"call without resp",
       "call JVX_API_USER_LOGIN base=JVXServiceAPI path=/q5client/user/login req=-\n",
       "t.schema:1: call lacks resp="},
      {"path without a known prefix",
       "call JVX_API_X base=JVXServiceAPI path=/other/x req=- resp=-\n",
       "t.schema:1: path '/other/x' gives no call name"},
      {"family after a model", "model M\nfamily pexara\n", "t.schema:2: family must come once"},
      {"unknown family", "family nope\n", "t.schema:1: unknown family 'nope'"},
      {"nesting cycle", "model A\n  b B\nmodel B\n  a A\n", "t.schema:1: model 'A' nests itself"},
      {"member not an identifier", "model M\n  vni-array list\n",
       "t.schema:2: field name 'vni-array' is not an identifier"},
  };
  for (const auto& c : cases) {
    std::string e = firstError(c.text);
    EXPECT_EQ(e.rfind(c.error, 0), 0u) << c.what << ": got '" << e << "'";
  }
}

TEST(ApiGenSchema, ErrorsNameTheirOwnFileAcrossFiles) {
  apigen::Parser p;
  p.addText("a.schema", "model M\n");
  p.addText("b.schema", "# shared\nmodel M\n");
  EXPECT_FALSE(p.finish());
  ASSERT_EQ(p.errors().size(), 1u);
  EXPECT_EQ(p.errors()[0].text().rfind("b.schema:2: duplicate model 'M' (first at a.schema:1)", 0),
            0u);
}

TEST(ApiGenSchema, CallNamesFollowEachFamilysRule) {
  struct Case {
    apigen::Family family;
    const char* path;
    const char* words;  // nullptr: no name
  } cases[] = {
      {apigen::Family::Jolvex, "/q5client/user/bind-mail", "USER_BIND_MAIL"},
      {apigen::Family::Jolvex, "/api/user/register", "USER_REGISTER"},
      {apigen::Family::Jolvex, "/api/v1/feedback/list", "FEEDBACK_LIST"},
      {apigen::Family::Jolvex, "/q5client/client-error-log/report", "CLIENT_ERROR_LOG_REPORT"},
      {apigen::Family::Jolvex, "/mapiv1/user/login", nullptr},
      {apigen::Family::Jolvex, "/q5client/", nullptr},
      {apigen::Family::Jolvex, "/q5client/a.b", nullptr},
      {apigen::Family::Pexara, "/api/v3/start-list", "START_LIST"},
      {apigen::Family::Pexara, "/api/user/china-ip", "USER_CHINA_IP"},
      {apigen::Family::Pexara, "/mapiv1/mobile-notice/normal", "MOBILE_NOTICE_NORMAL"},
      {apigen::Family::PexaraCn, "/mapiv1/advert/launchScreen", "ADVERT_LAUNCHSCREEN"},
      {apigen::Family::PexaraCn, "/mapiv1/user/ResetPwdByEmail", "USER_RESETPWDBYEMAIL"},
      {apigen::Family::Pexara, "/q5client/user/login", nullptr},
  };
  for (const auto& c : cases) {
    auto w = apigen::callWords(c.family, c.path);
    if (c.words) {
      ASSERT_TRUE(w) << c.path;
      EXPECT_EQ(*w, c.words) << c.path;
    } else {
      EXPECT_FALSE(w) << c.path << " gave " << *w;
    }
  }
  EXPECT_EQ(firstError("family pexara-cn\n"
                       "model PXA_CN_REQ_ADVERT_LAUNCHSCREEN\n"
                       "call PXA_CN_API_ADVERT_LAUNCHSCREEN base=PXACnServiceAPI "
                       "path=/mapiv1/advert/launchScreen req=PXA_CN_REQ_ADVERT_LAUNCHSCREEN "
                       "resp=-\n"),
            "");
  EXPECT_NE(firstError("family pexara\n"
                       "call PXA_CN_API_ADVERT_LAUNCHSCREEN base=PXACnServiceAPI "
                       "path=/mapiv1/advert/launchScreen req=- resp=-\n"),
            "");
}

TEST(ApiGenSchema, KeywordMemberIsRenamedKeepingItsKey) {
  apigen::Parser p;
  p.addText("k.schema", "model M\n  delete text\n  class number\n  name text\n");
  ASSERT_TRUE(p.finish());
  const auto& f = p.schema().models[0].fields;
  EXPECT_EQ(f[0].member, "delete_");
  EXPECT_EQ(f[0].key, "delete");
  EXPECT_EQ(f[1].member, "class_");
  EXPECT_EQ(f[2].member, "name");
  auto g = apigen::generate(p.schema(), {"", "T", "", ""});
  EXPECT_NE(g.modelsHeader.find("std::optional<std::string> delete_;"), std::string::npos);
  EXPECT_NE(g.modelsHeader.find("tq::field(\"delete\", &M::delete_)"), std::string::npos);
}

TEST(ApiGenSchema, ParsesModelsAndCallsAndOrdersNestedModelsFirst) {
  apigen::Parser p;
  p.addText("m.schema",
            "# comment\n"
            "family jolvex\n"
            "model JVX_RESP_RULE_GROUPS\n"
            "  groups [JVX_RULE_GROUP_INFO]\n"
            "model JVX_RULE_GROUP_INFO\n"
            "  desc text key=description\n"
            "  ID text key=id\n"
            "  extra dict\n"
            "  ports list\n"
            "call JVX_API_RULE_GROUPS base=JVXServiceAPI path=/q5client/rule/groups req=- "
            "resp=JVX_RESP_RULE_GROUPS\n"
            "call JVX_API_RULE_AREA_ISP_LIST path=/q5client/rule/area-isp-list "
            "resp=[JVX_RULE_GROUP_INFO] "
            "req=- base=JVXServiceAPI\n");
  ASSERT_TRUE(p.finish()) << p.errors().front().text();
  const auto& s = p.schema();
  ASSERT_EQ(s.models.size(), 2u);
  EXPECT_EQ(s.models[0].name, "JVX_RULE_GROUP_INFO");
  EXPECT_EQ(s.models[0].fields[0].key, "description");
  EXPECT_EQ(s.models[0].fields[2].kind, apigen::Kind::Dict);
  ASSERT_EQ(s.calls.size(), 2u);
  EXPECT_TRUE(s.calls[0].req.empty());
  EXPECT_FALSE(s.calls[0].respIsList);
  EXPECT_TRUE(s.calls[1].respIsList);
  EXPECT_EQ(s.calls[1].resp, "JVX_RULE_GROUP_INFO");
  auto g = apigen::generate(s, {"", "Jx", "JolvexAPI", ""});
  EXPECT_NE(g.modelsHeader.find("std::optional<std::vector<JVX_RULE_GROUP_INFO>> groups;"),
            std::string::npos);
  EXPECT_NE(g.modelsHeader.find("std::optional<std::vector<nlohmann::json>> ports;"),
            std::string::npos);
  EXPECT_LT(g.modelsHeader.find("struct JVX_RULE_GROUP_INFO"),
            g.modelsHeader.find("struct JVX_RESP_RULE_GROUPS"));
  EXPECT_NE(g.callsSource.find("#include \"JolvexAPI/JxCalls.h\""), std::string::npos);
}

}  // namespace
