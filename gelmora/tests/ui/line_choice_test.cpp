// The line choice against the account stand-in, with a fake acceleration status and a recording
// shop-sheet factory.
#include "AccelerateTestSupport.h"
#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Sections/Line/HLNetLineNodeManage.h"
#include "standin/AccountServer.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/HLImageAlertView.h"
#include "ui/Kit/L10n.h"
#include "ui/Sections/Line/HLChooseLineAreaView.h"
#include "ui/Sections/Line/HLChooseLineCell.h"
#include "ui/Sections/Line/HLChooseLineVC.h"

using gelmora::ui::L10n::text;
using gelmora::ui::test::waitFor;
using nlohmann::json;

namespace {

json lineAnswer() {
  auto node = [](int area, const char* country, int countryId, const char* city, const char* lock) {
    return json{{"area_id", area}, {"country", country}, {"country_id", countryId},
                {"city", city},    {"lock", lock},       {"national_flag", "x.png"}};
  };
  return {{"group",
           {{{"country", "Japan"}, {"country_id", 1}}, {{"country", "Korea"}, {"country_id", 2}}}},
          {"list",
           {node(11, "Japan", 1, "Tokyo", ""), node(12, "Japan", 1, "Osaka", ""),
            node(21, "Korea", 2, "Seoul", ""), node(22, "Korea", 2, "Busan", "Gold")}}};
}

class LineChoiceTest : public AccelerateFixture {
 protected:
  void SetUp() override {
    AccelerateFixture::SetUp();
    ASSERT_TRUE(account.start());
    set_JVXDomain(account.host());
    account.scriptPayloads("/q5client/rule/get-exit-set", {lineAnswer()});
    signIn({{"uid", 5}, {"package_name", "Silver"}});
    screens.shopSheet.set([this](QWidget*) -> QWidget* {
      ++sheets;
      return nullptr;
    });
    auto& center = platform::notifications::NotificationCenter::defaultCenter();
    for (auto name : {std::string_view(HLNetNodeChangedNotification),
                      std::string_view(TsUserCenterTopupNotification)}) {
      center.addObserver(this, name, [this](const platform::notifications::Notification& n) {
        posted.push_back(n.name);
      });
    }
  }
  void TearDown() override {
    platform::notifications::NotificationCenter::defaultCenter().removeObserver(this);
    screen.reset();
    account.stop();
    AccelerateFixture::TearDown();
  }
  void open() {
    HLChooseLineDependencies d;
    d.manager = [this] {
      return std::make_unique<HLNetLineNodeManage>(*defaults, [this] { return user->uid(); });
    };
    d.vpnStatus = [this] { return vpn.status(); };
    d.user = user.get();
    d.screens = &screens;
    screen = std::make_unique<HLChooseLineVC>(d);
    screen->show();
    ASSERT_TRUE(waitFor([&] { return screen->tableView()->count() == 4; }));
  }
  HLChooseLineCell* cell(int row) {
    return qobject_cast<HLChooseLineCell*>(
        screen->tableView()->itemWidget(screen->tableView()->item(row)));
  }
  std::string chosen() {
    auto n = defaults->selectedNetNode();
    return n ? n->nodeName.value_or("") : "none";
  }
  size_t count(std::string_view name) {
    return std::count(posted.begin(), posted.end(), std::string(name));
  }

  standin::account::AccountServer account;
  gelmora::ui::ScreenRegistry screens;
  std::unique_ptr<HLChooseLineVC> screen;
  std::vector<std::string> posted;
  int sheets = 0;
};

TEST_F(LineChoiceTest, OpensClosedWithTheFirstLineChosen) {
  open();
  EXPECT_TRUE(screen->areaView()->isHidden());
  EXPECT_STREQ(screen->arrowName(), "ic_line_arrow_left");
  EXPECT_EQ(screen->titleTF()->text(), text("default_node"));
  EXPECT_EQ(screen->windowTitleTF()->text(), text("can_available_choose"));
  EXPECT_EQ(screen->size(), QSize(420, 520));
  EXPECT_EQ(chosen(), "Japan-Tokyo");
  EXPECT_TRUE(cell(0)->showsSelected());
  EXPECT_TRUE(cell(3)->lockedBox()->isVisibleTo(cell(3)));
  EXPECT_EQ(cell(3)->lockedTF()->text(), "Gold");
  EXPECT_FALSE(cell(1)->lockedBox()->isVisibleTo(cell(1)));
}

TEST_F(LineChoiceTest, LockedLineLeadsToTheUpgradePrompt) {
  open();
  screen->selectRow(3);
  EXPECT_EQ(chosen(), "Japan-Tokyo");
  ASSERT_TRUE(screen->upgradeView());
  const QString message = screen->upgradeView()->messageLabel()->text();
  EXPECT_TRUE(message.contains("Silver")) << message.toStdString();
  EXPECT_TRUE(message.contains("Gold")) << message.toStdString();
  EXPECT_TRUE(posted.empty());

  // IAP off: the top-up notification, no sheet.
  screen->upgradeView()->confirm();
  EXPECT_EQ(count(TsUserCenterTopupNotification), 1u);
  EXPECT_EQ(sheets, 0);
  ASSERT_TRUE(waitFor([&] { return !screen->upgradeView(); }));

  // IAP on: the shop sheet.
  user->setEnableIAP(true);
  screen->selectRow(3);
  screen->upgradeView()->confirm();
  EXPECT_EQ(sheets, 1);
  EXPECT_EQ(count(TsUserCenterTopupNotification), 1u);
}

TEST_F(LineChoiceTest, ChangesAtOnceUnlessAccelerated) {
  for (long long status : {1, 2, 5}) {
    SCOPED_TRACE(status);
    vpn.setStatus(status, false);
    open();
    posted.clear();
    screen->selectRow(0);  // the chosen one: nothing
    EXPECT_TRUE(posted.empty());
    const int row = status == 2 ? 2 : 1;
    screen->selectRow(row);
    EXPECT_EQ(chosen(), row == 2 ? "Korea-Seoul" : "Japan-Osaka");
    EXPECT_EQ(count(HLNetNodeChangedNotification), 1u);
    EXPECT_TRUE(cell(row)->showsSelected());  // the tick moved
    EXPECT_FALSE(screen->lineAlerView()->isVisible());
    defaults->setSelectedNetNode(nullptr);
  }
}

TEST_F(LineChoiceTest, AcceleratedAsksFirstAndAppliesTheClickedLine) {
  vpn.setStatus(3, false);
  open();
  screen->selectRow(1);  // Japan-Osaka
  EXPECT_TRUE(screen->lineAlerView()->isVisible());
  EXPECT_EQ(chosen(), "Japan-Tokyo");
  screen->lineAlerView()->cancel();
  EXPECT_FALSE(screen->lineAlerView()->isVisible());
  EXPECT_EQ(chosen(), "Japan-Tokyo");
  EXPECT_TRUE(posted.empty());

  // Clicked, then the group changed before confirming: the clicked line is applied.
  screen->selectRow(1);
  screen->areabuttonClick();
  EXPECT_FALSE(screen->areaView()->isHidden());
  EXPECT_STREQ(screen->arrowName(), "ic_line_arrow_top");
  screen->areaView()->selectRow(2);  // Korea
  EXPECT_TRUE(screen->areaView()->isHidden());
  EXPECT_EQ(screen->titleTF()->text(), "Korea");
  EXPECT_EQ(screen->tableView()->count(), 2);
  screen->lineAlerView()->confirm();
  EXPECT_EQ(chosen(), "Japan-Osaka");
  EXPECT_EQ(count(HLNetNodeChangedNotification), 1u);
  EXPECT_FALSE(screen->lineAlerView()->isVisible());
}

TEST_F(LineChoiceTest, GroupsListTheirNodes) {
  open();
  screen->areabuttonClick();
  auto* groups = screen->areaView()->tableView();
  ASSERT_EQ(groups->count(), 3);
  struct Case {
    int row;
    const char* title;
    std::vector<std::string> nodes;
  } cases[] = {{1, "Japan", {"Japan-Tokyo", "Japan-Osaka"}},
               {2, "Korea", {"Korea-Seoul", "Korea-Busan"}},
               {0, "All", {"Japan-Tokyo", "Japan-Osaka", "Korea-Seoul", "Korea-Busan"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    screen->areaView()->show();
    screen->areaView()->selectRow(c.row);
    EXPECT_EQ(screen->titleTF()->text(), c.title);
    std::vector<std::string> listed;
    for (int i = 0; i < screen->tableView()->count(); ++i)
      listed.push_back(cell(i)->titleTF()->text().toStdString());
    EXPECT_EQ(listed, c.nodes);
  }
  // Choosing the selected group again keeps the drop-down open.
  screen->areaView()->show();
  screen->areaView()->selectRow(0);
  EXPECT_FALSE(screen->areaView()->isHidden());
}

}  // namespace
