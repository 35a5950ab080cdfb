// The front stand-in: the account service's forms and the older service's forms, sent by the
// real clients to one base domain, each reach their own stand-in.
#include <gtest/gtest.h>

#include "SessionTestSupport.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Web/TsWebService.h"
#include "standin/FrontStandin.h"
#include "standin/OlderService.h"

namespace {

TEST(FrontStandinRouting, OnlyFormPostsMarkedMobileGoToTheAccountService) {
  struct Case {
    const char* method;
    const char* body;
    bool account;
  } cases[] = {{"POST", "info=abc&mobile=mobile", true},
               {"POST", "mobile=mobile&info=abc", true},
               {"POST", "info=abc&encrypt-type=pc-json", false},
               {"POST", "info=abc&mobile=desktop", false},
               {"POST", "xmobile=mobile", false},
               {"GET", "mobile=mobile", false},
               {"POST", "", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(standin::FrontStandin::forAccount(c.method, c.body), c.account) << c.body;
  }
}

class FrontStandinTest : public SessionFixture {};

TEST_F(FrontStandinTest, EachFormReachesItsStandin) {
  standin::OlderService older;
  ASSERT_TRUE(older.start());
  standin::FrontStandin front(account.host(), older.address());
  ASSERT_TRUE(front.start());
  set_JVXDomain(front.hostPort());

  signIn(accountPayload({{"uid", 77}}));
  EXPECT_EQ(user->uid(), 77);
  EXPECT_EQ(seen(account, "/q5client/user/login").size(), 1u);

  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 77}}}});
  TQError error;
  EXPECT_TRUE(TsWebService::getRules(&error)) << error.description;
  EXPECT_TRUE(older.lastRequest("/q5client/rule/list"));
  EXPECT_EQ(front.accountCount(), 1u);
  EXPECT_EQ(front.olderCount(), 1u);
  EXPECT_TRUE(seen(account, "/q5client/rule/list").empty());
  front.stop();
  older.stop();
}

}  // namespace
