// The older key-value store and the login values of the rule store.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"

using nlohmann::json;
using platform::defaults::Bytes;
using platform::defaults::Store;

namespace {

class BrandWithHost : public AppEnvironment {
 public:
  BrandWithHost() { assign("LegacyServiceHost", "legacy.brand.example"); }
};

class ParamsDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_shared<Store>(dir.path() / "defaults.json");
    TsParamsDirectory::setStore(store);
    AppEnvironment::setCurrentEnvironment(nullptr);
    TsParams::resetLoginValues();
  }
  void TearDown() override { TsParamsDirectory::setStore(nullptr); }
  TempDir dir;
  std::shared_ptr<Store> store;
};

std::string text(const std::optional<TsParamsDirectory::Value>& v) {
  return v && std::holds_alternative<std::string>(*v) ? std::get<std::string>(*v) : "<not text>";
}

}  // namespace

TEST_F(ParamsDirectoryTest, DefaultsUntilAValueIsStored) {
  EXPECT_EQ(text(TsParamsDirectory::getValue("country_code")), "+86");
  EXPECT_EQ(text(TsParamsDirectory::getValue("login_token")), "");
  EXPECT_EQ(text(TsParamsDirectory::getValue("phone")), "");
  EXPECT_EQ(text(TsParamsDirectory::getValue("used_domain")), TsParams::legacyServiceHost());
  EXPECT_FALSE(TsParamsDirectory::getValue("url_share"));
  EXPECT_FALSE(TsParamsDirectory::getDefaultValue("url_share"));

  TsParamsDirectory::setValue("country_code", std::string("+1"));
  EXPECT_EQ(text(TsParamsDirectory::getValue("country_code")), "+1");
  EXPECT_EQ(text(TsParamsDirectory::getDefaultValue("country_code")), "+86");
  // Written through: a second store on the same file sees it.
  Store again(dir.path() / "defaults.json");
  EXPECT_EQ(again.textValue("country_code"), "+1");

  AppEnvironment::setCurrentEnvironment(std::make_shared<BrandWithHost>());
  EXPECT_EQ(text(TsParamsDirectory::getValue("used_domain")), "legacy.brand.example");
  EXPECT_EQ(TsParams::getUseddomain(), "http://legacy.brand.example");
  AppEnvironment::setCurrentEnvironment(nullptr);
}

TEST_F(ParamsDirectoryTest, DictionariesAreJsonBytesNeverText) {
  json login = {{"code", 0}, {"data", {{"uid", 7}, {"username", "p&q=r"}}}};
  TsParamsDirectory::setNSDictionaryValue("login_data", login);
  EXPECT_EQ(TsParamsDirectory::getNSDictionaryValue("login_data"), login);
  // The plain read answers the stored bytes themselves.
  auto raw = TsParamsDirectory::getValue("login_data");
  ASSERT_TRUE(raw && std::holds_alternative<Bytes>(*raw));
  const auto& bytes = std::get<Bytes>(*raw);
  EXPECT_EQ(json::parse(std::string(bytes.begin(), bytes.end())), login);

  TsParamsDirectory::setValue("as_text", std::string(R"({"a":1})"));
  EXPECT_FALSE(TsParamsDirectory::getNSDictionaryValue("as_text"));
  TsParamsDirectory::setValue("not_json", Bytes{'{', 'x'});
  EXPECT_FALSE(TsParamsDirectory::getNSDictionaryValue("not_json"));
  EXPECT_FALSE(TsParamsDirectory::getNSDictionaryValue("absent"));
}

TEST(TsParamsLoginTest, LoginReplyFillsTheUserValues) {
  struct Case {
    std::string name;
    json reply;
    std::int32_t uid;
    std::string nickname;
    std::string expire;
    std::optional<std::string> packet;
  };
  const Case cases[] = {
      {"full",
       {{"data",
         {{"uid", 42}, {"username", "ann"}, {"expire_date", "2030-01-01"}, {"package_id", 7}}}},
       42,
       "ann",
       "2030-01-01",
       "package_id7"},
      {"numbers as text",
       {{"data", {{"uid", "43"}, {"package_id", "9"}}}},
       43,
       "gelmoras",
       "2099-12-31 12:00:00",
       "package_id9"},
      {"wrong kinds keep the defaults",
       {{"data", {{"uid", "x1"}, {"username", json::array()}, {"package_id", nullptr}}}},
       0,
       "gelmoras",
       "2099-12-31 12:00:00",
       std::nullopt},
      {"uid beyond 32 bits",
       {{"data", {{"uid", 4294967296LL}}}},
       0,
       "gelmoras",
       "2099-12-31 12:00:00",
       std::nullopt},
      {"data not an object",
       {{"data", json::array({1})}},
       0,
       "gelmoras",
       "2099-12-31 12:00:00",
       std::nullopt},
      {"not an object", json::array(), 0, "gelmoras", "2099-12-31 12:00:00", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TsParams::resetLoginValues();
    TsParams::updateWithLoginReturnObject(c.reply);
    EXPECT_EQ(TsParams::getUid(), c.uid);
    EXPECT_EQ(TsParams::getNickname(), c.nickname);
    EXPECT_EQ(TsParams::getExpiredate(), c.expire);
    EXPECT_EQ(TsParams::getPacketId(), c.packet);
  }
  TsParams::resetLoginValues();
  EXPECT_EQ(TsParams::getFlowId(), "0");
  TsParams::setFlowId(5001);
  EXPECT_EQ(TsParams::getFlowId(), "5001");
}
