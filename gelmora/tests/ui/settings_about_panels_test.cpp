// The settings panel (launch at login, quit on close, sign-out without a question) and the about
// panel, with a recording login item and the account stand-in.
#include <QTest>

#include "MeTestSupport.h"
#include "ui/Kit/L10n.h"
#include "ui/Sections/Me/TsAboutView.h"
#include "ui/Sections/Me/TsSettingView.h"

using gelmora::ui::L10n::text;
using gelmora::ui::test::waitFor;

namespace {

class SettingsPanelTest : public me_test::MeFixture {
 protected:
  void SetUp() override {
    MeFixture::SetUp();
    TsSettingDependencies d;
    d.defaults = defaults.get();
    d.user = user.get();
    d.enableLoginItem = [this](bool on) {
      calls.push_back(on);
      return works;
    };
    panel = std::make_unique<TsSettingView>(d);
    panel->show();
  }
  void TearDown() override {
    panel.reset();
    MeFixture::TearDown();
  }
  std::unique_ptr<TsSettingView> panel;
  std::vector<bool> calls;
  bool works = true;
};

TEST_F(SettingsPanelTest, ShowsTheStoredSettingsOnEachShowing) {
  for (bool on : {true, false}) {
    defaults->setLaunchAtLogin(on);  // as the menu-bar item would
    defaults->setCloseApp(!on);
    panel->reloadData();
    EXPECT_EQ(panel->startSettingBtn->state(), on ? 1 : 0);
    EXPECT_EQ(panel->closeSettingBtn->isChecked(), !on);
  }
  EXPECT_EQ(panel->size(), QSize(480, 273));
  EXPECT_EQ(panel->palette().color(QPalette::Window), QColor(42, 38, 66));
}

TEST_F(SettingsPanelTest, LaunchAtLoginFlipsOnceAndGoesBackWhenRefused) {
  struct Case {
    int from;
    bool works;
    int shown;
  } cases[] = {{0, true, 1}, {0, false, 0}, {1, true, 0}, {1, false, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " " << c.works);
    calls.clear();
    works = c.works;
    defaults->setLaunchAtLogin(c.from == 1);
    panel->reloadData();
    QTest::mouseClick(panel->startSettingBtn, Qt::LeftButton);
    EXPECT_EQ(calls, std::vector<bool>{c.from == 0});
    EXPECT_EQ(panel->startSettingBtn->state(), c.shown);
    EXPECT_EQ(defaults->launchAtLogin(), c.shown == 1);
  }
}

TEST_F(SettingsPanelTest, QuitOnCloseStoresTheClickedState) {
  defaults->setCloseApp(false);
  panel->reloadData();
  panel->closeSettingBtn->click();
  EXPECT_TRUE(defaults->closeApp());
  panel->closeSettingBtn->click();
  EXPECT_FALSE(defaults->closeApp());
}

TEST_F(SettingsPanelTest, SignOutWithoutAQuestionAndCloseOnlyHides) {
  signIn({{"uid", 5}});
  panel->logoutBtn->click();
  EXPECT_TRUE(alerts.questions.empty());
  ASSERT_TRUE(waitFor([&] { return seen("/q5client/user/logout") == 1; }));

  QWidget parent;
  panel->setParent(&parent);
  panel->closeButton->click();
  EXPECT_TRUE(panel->isHidden());
  EXPECT_EQ(panel->parentWidget(), &parent);
  panel->setParent(nullptr);
}

TEST(AboutPanel, ShowsVersionAndLinesAndRemovesItselfOnClose) {
  QWidget page;
  auto* about = new TsAboutView(&page, [] { return std::optional<std::string>(); });
  EXPECT_EQ(about->versionTF->text(), "");
  EXPECT_EQ(about->QQTF->text(), text("QQ反馈群"));
  EXPECT_EQ(about->wcTF->text(), text("官方公众号"));
  EXPECT_EQ(about->mobileTF->text(), text("获取移动版"));
  QPointer<TsAboutView> guard(about);
  about->closeButton->click();
  EXPECT_EQ(about->parentWidget(), nullptr);
  ASSERT_TRUE(waitFor([&] { return guard.isNull(); }));
}

}  // namespace
