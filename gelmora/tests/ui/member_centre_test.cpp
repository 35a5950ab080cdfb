// The member centre against the account stand-in (scripted privilege answers) and the web
// stand-in (solid-colour pictures): the profile's fields, the limits and privilege slots, a
// failed request, and top-up.
#include <QTest>

#include "MeTestSupport.h"
#include "standin/HttpStandin.h"
#include "standin/WebStandin.h"
#include "ui/General/Helper/ImageLoader.h"
#include "ui/Kit/L10n.h"
#include "ui/Sections/Me/TsUserCenterWC.h"

using gelmora::ui::L10n::text;
using gelmora::ui::test::waitFor;
using nlohmann::json;

namespace {

constexpr const char* kPrivilege = "/q5client/package/privilege";

class MemberCentreTest : public me_test::MeFixture {
 protected:
  void SetUp() override {
    MeFixture::SetUp();
    ASSERT_TRUE(web.start());
    setHosts(account.host(), web.hostPort());
    const uint8_t colours[][3] = {{0, 200, 0}, {200, 0, 0}, {0, 0, 200}, {200, 200, 0}, {9, 9, 9}};
    for (int i = 0; i < 5; ++i) {
      standin::WebStandin::addFile(
          web, "/img/" + std::to_string(i) + ".png",
          standin::WebStandin::solidPng(8, 8, colours[i][0], colours[i][1], colours[i][2]),
          "image/png");
    }
    recordPosts(TsUserCenterTopupNotification);
  }
  void TearDown() override {
    centre.reset();
    web.stop();
    MeFixture::TearDown();
  }
  void open(json info) {
    signIn(info);
    TsUserCenterDependencies d;
    d.user = user.get();
    d.images = &images;
    centre = std::make_unique<TsUserCenterWC>(d);
    centre->show();
  }
  QLabel* slot(int tag) {
    return qobject_cast<QLabel*>(gelmora::ui::viewWithTag(centre.get(), tag));
  }
  static json privileges(int count) {
    json list = json::array();
    for (int i = 0; i < count; ++i)
      list.push_back(
          {{"image", "/img/" + std::to_string(i) + ".png"}, {"name", "P" + std::to_string(i)}});
    return {{"flow_size", "100G"}, {"mobile_limit", "2"}, {"desktop_limit", "3"}, {"images", list}};
  }

  standin::HttpStandin web;
  gelmora::ui::ImageLoader images;
  std::unique_ptr<TsUserCenterWC> centre;
};

TEST_F(MemberCentreTest, ProfileFieldsAndCover) {
  account.scriptPayloads(kPrivilege, {privileges(0)});
  struct Case {
    const char* name;
    json info;
    bool cover;
    QString limit;
    const char* colour;
    bool upgrade;
  } cases[] = {
      {"normal",
       {{"uid", 5}, {"expired_and_pause_status", 3}, {"low_speed", 0}, {"package_upgrade", 1}},
       false,
       text("无限速，正常使用"),
       "#6f6b98",
       true},
      {"limited",
       {{"uid", 5}, {"expired_and_pause_status", 1}, {"low_speed", 1}, {"package_upgrade", 0}},
       true,
       text("流量耗尽，被限速"),
       "#fb1658",
       false},
      {"missing", {{"uid", 5}}, true, text("无限速，正常使用"), "#6f6b98", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    open(c.info);
    EXPECT_EQ(centre->maskView->isVisible(), c.cover);
    EXPECT_EQ(centre->limitTF->text(), c.limit);
    EXPECT_TRUE(centre->limitTF->styleSheet().contains(c.colour)) << c.colour;
    EXPECT_EQ(centre->packageBox->isVisible(), c.upgrade);
  }
  open({{"uid", 5},
        {"username", "ann"},
        {"package_name", "Gold"},
        {"expire_date", "2030-01-01 00:00:00"}});
  EXPECT_EQ(centre->titleTF->text(), "Gold");
  EXPECT_EQ(centre->packageTF->text(), "Gold");
  EXPECT_EQ(centre->subTitleTF->text(), "ann   UID:5");
  EXPECT_EQ(centre->dateTF->text(), "2030-01-01 00:00:00");
  EXPECT_EQ(centre->topTF->text(), text("member_center_button"));
  EXPECT_EQ(centre->resetTF->text(), text("购买流量"));
}

TEST_F(MemberCentreTest, LimitsAndPrivilegesFromTheService) {
  json answer = privileges(5);
  // An entry without a picture is skipped; the fifth with a picture has no slot.
  answer["images"].insert(answer["images"].begin() + 1, json{{"name", "no picture"}});
  answer.erase("desktop_limit");
  account.scriptPayloads(kPrivilege, {answer});
  open({{"uid", 5}, {"product_id", 42}});
  ASSERT_TRUE(waitFor([&] { return centre->mbsTF->text() == "100G"; }));
  EXPECT_EQ(centre->mobileTF->text(), "2");
  EXPECT_EQ(centre->deskTF->text(), "");
  auto req = account.lastRequest();
  for (const auto& r : account.requests())
    if (r.path == kPrivilege) req = r;
  ASSERT_TRUE(req && req->info);
  EXPECT_EQ((*req->info)["package_id"], 42);
  for (int i = 0; i < TsUserCenterWC::kSlots; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(slot(10 + i)->text(), QString("P%1").arg(i));
    ASSERT_TRUE(waitFor([&] { return !slot(100 + i)->pixmap().isNull(); }));
  }
  EXPECT_EQ(slot(100)->pixmap().toImage().pixelColor(4, 4), QColor(0, 200, 0));
  // Pictures come from the brand's web host, the fifth never.
  ASSERT_TRUE(web.waitForRequests(4));
  std::vector<std::string> paths;
  for (const auto& r : web.requests()) paths.push_back(r.path);
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/img/4.png"), 0);
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/img/0.png"), 1);

  // A failed request later leaves everything as it was.
  account.setCodeForPath(kPrivilege, 500, "broken");
  const size_t before = seen(kPrivilege);
  centre->reloadData();
  ASSERT_TRUE(waitFor([&] { return seen(kPrivilege) == before + 1; }));
  QTest::qWait(100);
  EXPECT_EQ(centre->mbsTF->text(), "100G");
  EXPECT_EQ(slot(10)->text(), "P0");
  EXPECT_FALSE(slot(100)->pixmap().isNull());
}

TEST_F(MemberCentreTest, TopUpNotifiesAtOnceAndHidesLater) {
  account.scriptPayloads(kPrivilege, {privileges(0)});
  gelmora::ui::UiTiming::setScale(1);
  open({{"uid", 5}});
  centre->topupButton->click();
  EXPECT_EQ(count(TsUserCenterTopupNotification), 1u);
  EXPECT_TRUE(centre->isVisible());
  gelmora::ui::UiTiming::setScale(0.01);
  ASSERT_TRUE(waitFor([&] { return !centre->isVisible(); }, 2000));
  // Shown again without reloading.
  const size_t before = seen(kPrivilege);
  centre->show();
  QTest::qWait(50);
  EXPECT_EQ(seen(kPrivilege), before);
}

}  // namespace
