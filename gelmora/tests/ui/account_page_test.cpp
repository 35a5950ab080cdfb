// The account page against the account stand-in, with recording alerts, web windows, shop sheet,
// clipboard and browser: how the profile fills the page, the seven commands, pay, sign-out,
// launch at login, the carousel's clicks and the one profile observer.
#include <QSignalSpy>
#include <QTest>

#include "MeTestSupport.h"
#include "gelmora/Shared/Tessaryn.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Kit/L10n.h"
#include "ui/Sections/Me/TsAboutView.h"
#include "ui/Sections/Me/TsUserProfileViewController.h"

using gelmora::ui::L10n::text;
using gelmora::ui::test::waitFor;
using nlohmann::json;

namespace {

class AccountPageTest : public me_test::MeFixture {
 protected:
  void TearDown() override {
    page.reset();
    MeFixture::TearDown();
  }
  void open(json info = {{"uid", 5}}) {
    signIn(info);
    TsUserProfileDependencies d;
    d.user = user.get();
    d.defaults = defaults.get();
    d.vpnStatus = [this] { return vpnStatus; };
    d.memberPage = [this] { ++memberPages; };
    d.alerts = alerts.alerts();
    d.clipboard = &clipboard;
    d.urlOpener = &browser;
    d.screens = &screens;
    d.enableLoginItem = [this](bool on) {
      loginItemCalls.push_back(on);
      return loginItemWorks;
    };
    d.version = [] { return std::optional<std::string>("9.8.7"); };
    d.memberCentre.fetch = [](std::optional<int64_t>) {
      return platform::reactive::Signal<json>::never();
    };
    page = std::make_unique<TsUserProfileViewController>(d);
    page->resize(850, 600);
    page->show();
  }
  TsUserProfileView* view() const { return page->specView(); }

  std::unique_ptr<TsUserProfileViewController> page;
  gelmora::ui::RecordingClipboard clipboard;
  gelmora::ui::RecordingUrlOpener browser;
  long long vpnStatus = 1;
  int memberPages = 0;
  bool loginItemWorks = true;
  std::vector<bool> loginItemCalls;
};

TEST_F(AccountPageTest, FillsThePageFromTheProfile) {
  struct Case {
    const char* name;
    json info;
    QString id, userName, package, exDate, longTerm;
  } cases[] = {
      {"ordinary",
       {{"uid", 5},
        {"nick_name", "Ann"},
        {"package_name", "Gold"},
        {"expire_date", "2024-05-01 10:00:00"}},
       QString::fromStdString("id:" + Tessaryn::uidEncrypt("5")),
       "Ann",
       "Gold",
       "2024-05-01 10:00:00",
       ""},
      {"long term",
       {{"uid", 6}, {"expire_date", "2099-12-31 23:59:59"}},
       QString::fromStdString("id:" + Tessaryn::uidEncrypt("6")),
       "",
       "",
       "",
       text("长期有效")},
      {"unreadable expiry shown raw",
       {{"uid", 7}, {"expire_date", "soon"}},
       QString::fromStdString("id:" + Tessaryn::uidEncrypt("7")),
       "",
       "",
       "soon",
       ""},
      {"nothing", json::object(), "", "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    open(c.info);
    EXPECT_EQ(view()->idTF->text(), c.id);
    EXPECT_EQ(view()->userNameTF->text(), c.userName);
    EXPECT_EQ(view()->packTypeTF->text(), c.package);
    EXPECT_EQ(view()->exDateTF->text(), c.exDate);
    EXPECT_EQ(view()->expireDateLabel->infoLabel()->text(), c.longTerm);
    EXPECT_TRUE(view()->aboutButton->isHidden());
    EXPECT_TRUE(view()->aboutTF->isHidden());
    EXPECT_EQ(view()->versionTF->text(), "9.8.7");
    EXPECT_EQ(view()->logoutTF->text(), text("sign_out_button"));
    EXPECT_EQ(view()->helpTF->text(), text("问题百科"));
  }
  // A long-term expiry leaves the ordinary field as it was.
  open({{"uid", 5}, {"expire_date", "2024-05-01 10:00:00"}});
  user->mutableSession()->userInfo->expire_date = "2099-01-01 00:00:00";
  page->reloadData();
  EXPECT_EQ(view()->exDateTF->text(), "2024-05-01 10:00:00");
  EXPECT_EQ(view()->expireDateLabel->infoLabel()->text(), text("长期有效"));
}

TEST_F(AccountPageTest, PayAndEditBoxFollowThePurchaseMode) {
  struct Case {
    bool enableIAP;
    int iapMode;
    bool sheet;
  } cases[] = {{false, 0, false}, {false, 1, true}, {true, 0, true}, {false, 2, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.enableIAP << " " << c.iapMode);
    user->setEnableIAP(c.enableIAP);
    open({{"uid", 5}, {"iap_mode", c.iapMode}});
    const int before = sheets;
    browser.opened.clear();
    EXPECT_EQ(view()->editBox->isHidden(), c.sheet);
    QTest::mouseClick(view()->payButton, Qt::LeftButton);
    EXPECT_EQ(sheets - before, c.sheet ? 1 : 0);
    if (c.sheet) {
      EXPECT_TRUE(browser.opened.empty());
    } else {
      ASSERT_EQ(browser.opened.size(), 1u);
      // The login code is salted anew on each reading: the address up to it, and one.
      const std::string prefix = "http://" + account.host() + "/package?is_pc=1&logincode=";
      EXPECT_TRUE(browser.opened[0].starts_with(prefix)) << browser.opened[0];
      EXPECT_GT(browser.opened[0].size(), prefix.size() + 8);
    }
  }
}

TEST_F(AccountPageTest, SignOutAsksFirstAndReachesTheService) {
  for (long long status : {3LL, 1LL}) {
    vpnStatus = status;
    open();
    alerts.questions.clear();
    view()->logoutButton->click();
    ASSERT_EQ(alerts.questions.size(), 1u);
    EXPECT_EQ(alerts.questions[0].title,
              text(status == 3 ? "quit_stop_acceleration" : "want_to_quit"));
  }
  // "cancel": nothing; "yes_button": the service hears the sign-out.
  EXPECT_EQ(seen("/q5client/user/logout"), 0u);
  alerts.questions[0].yes();
  ASSERT_TRUE(waitFor([&] { return seen("/q5client/user/logout") == 1; }));
}

TEST_F(AccountPageTest, CommandsByTag) {
  open({{"uid", 5}, {"share_domain", "http://share.test/x"}});
  // 102: the about panel at (150, H - 450) in the page, closed by its own control.
  page->btnClick(102);
  auto* about = qobject_cast<TsAboutView*>(page->aboutView());
  ASSERT_TRUE(about);
  EXPECT_EQ(about->geometry(), QRect(150, 150, 500, 375));
  EXPECT_EQ(about->parentWidget(), view());
  EXPECT_EQ(about->versionTF->text(), "9.8.7");
  EXPECT_EQ(about->QQTF->text(), text("QQ反馈群"));
  about->closeButton->click();
  EXPECT_EQ(about->parentWidget(), nullptr);

  // 103: the share link copied, then the notice.
  page->btnClick(103);
  EXPECT_EQ(clipboard.contents, std::vector<std::string>{"http://share.test/x"});
  ASSERT_EQ(alerts.notices.size(), 1u);
  EXPECT_EQ(alerts.notices[0], text("text_copied"));
  // Nothing to share: no copy and no notice.
  user->mutableSession()->userInfo->share_domain = "";
  page->btnClick(103);
  EXPECT_EQ(clipboard.writes, 1);
  EXPECT_EQ(alerts.notices.size(), 1u);

  // 104 then 105: one web window, the questions page at 680 by 500.
  page->btnClick(104);
  page->btnClick(105);
  ASSERT_EQ(webRequests.size(), 2u);
  EXPECT_EQ(webCloses, 1);
  EXPECT_EQ(webRequests[0].title, text("my_order_title"));
  const std::string questions = "http://" + account.host() + "/in-app/questions?logincode=";
  EXPECT_TRUE(webRequests[1].url.starts_with(questions)) << webRequests[1].url;
  EXPECT_GT(webRequests[1].url.size(), questions.size() + 8);
  EXPECT_EQ(webRequests[1].width, 680);
  EXPECT_EQ(webRequests[1].height, 500);

  // 106: the member centre, made once and kept.
  page->btnClick(106);
  auto* centre = page->vipWC();
  ASSERT_TRUE(centre);
  EXPECT_TRUE(centre->isVisible());
  EXPECT_TRUE(centre->isWindow());
  centre->hide();
  view()->vipButton->click();
  EXPECT_EQ(page->vipWC(), centre);
  EXPECT_TRUE(centre->isVisible());

  // Tags outside 100-106 do nothing.
  page->btnClick(107);
  page->btnClick(99);
  EXPECT_EQ(webRequests.size(), 2u);
}

TEST_F(AccountPageTest, LaunchAtLoginFollowsTheBox) {
  struct Case {
    bool from;
    bool works;
    bool shown;
  } cases[] = {
      {false, true, true}, {false, false, false}, {true, true, false}, {true, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " " << c.works);
    open();
    loginItemCalls.clear();
    loginItemWorks = c.works;
    view()->bootCheckBox->setChecked(c.from);
    defaults->setLaunchAtLogin(!c.shown);
    QTest::mouseClick(view()->bootCheckBox, Qt::LeftButton, Qt::NoModifier, QPoint(8, 12));
    EXPECT_EQ(loginItemCalls, std::vector<bool>{!c.from});
    EXPECT_EQ(view()->bootCheckBox->isChecked(), c.shown);
    EXPECT_EQ(defaults->launchAtLogin(), c.shown);
  }
}

TEST_F(AccountPageTest, OneProfileObserverAndTheMoveSwitch) {
  QWidget window;
  window.setProperty("movableByWindowBackground", true);
  open();
  page->setParent(&window);
  window.show();
  page->hide();
  EXPECT_TRUE(window.property("movableByWindowBackground").toBool());
  for (int i = 0; i < 3; ++i) {
    page->show();
    EXPECT_FALSE(window.property("movableByWindowBackground").toBool());
    page->hide();
    EXPECT_TRUE(window.property("movableByWindowBackground").toBool());
  }
  page->show();
  EXPECT_GE(memberPages, 4);
  EXPECT_EQ(page->profileObservers(), 1);
  const int reloads = page->reloads();
  platform::notifications::NotificationCenter::defaultCenter().post(TsUserInfoChangedNotification);
  EXPECT_EQ(page->reloads(), reloads + 1);
  page->setParent(nullptr);
}

TEST_F(AccountPageTest, CarouselOpensOnlyWebAddressesAtRest) {
  user->setPictureNews(json::array({{{"image", ""}, {"url", "http://news.test/a"}},
                                    {{"image", ""}, {"url", ""}},
                                    {{"image", ""}, {"url", "javascript:x"}},
                                    json("not an item")}));
  open();
  auto* carousel = view()->carousel;
  ASSERT_EQ(page->items().size(), 4u);
  EXPECT_TRUE(carousel->scrollEnabled());
  for (int i = 1; i < 4; ++i) page->didSelectItemAtIndex(i);
  EXPECT_TRUE(browser.opened.empty());
  page->didSelectItemAtIndex(0);
  EXPECT_EQ(browser.opened, std::vector<std::string>{"http://news.test/a"});

  // While it slides: nothing.
  gelmora::ui::UiTiming::setScale(1);
  carousel->scrollToItemAtIndex(1, true);
  page->didSelectItemAtIndex(0);
  EXPECT_EQ(browser.opened.size(), 1u);
  gelmora::ui::UiTiming::setScale(0.01);

  // A click at rest on the centre item opens its page.
  ASSERT_TRUE(waitFor([&] { return !carousel->isScrolling(); }));
  carousel->scrollToItemAtIndex(0, false);
  QTest::mouseClick(carousel, Qt::LeftButton, Qt::NoModifier, carousel->rect().center());
  EXPECT_EQ(browser.opened.size(), 2u);

  // One item does not scroll; none shows nothing.
  user->setPictureNews(json::array({{{"url", "http://news.test/a"}}}));
  open();
  EXPECT_FALSE(view()->carousel->scrollEnabled());
  user->setPictureNews(std::nullopt);
  open();
  EXPECT_EQ(view()->carousel->numberOfItems(), 0);
}

}  // namespace
