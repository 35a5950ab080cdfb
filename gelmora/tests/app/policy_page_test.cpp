// The terms page under a real X server against the web stand-in: its layout, the terms address,
// agree and refuse.
#include <gtest/gtest.h>

#include <QTest>

#include "../TestSupport.h"
#include "WebTestSupport.h"
#include "app/Sections/Login/DRVPolicyViewController.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "ui/Application/RecordingCollaborators.h"

using gelmora::app::test::waitForTitle;
using gelmora::ui::test::waitFor;

namespace {

class PolicyPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hosts.start();
    store = std::make_shared<platform::defaults::Store>(tmp() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
  }
  void TearDown() override { hosts.stop(); }
  std::filesystem::path tmp() const { return dir.path(); }
  DRVPolicyViewController::Collaborators collaborators() {
    DRVPolicyViewController::Collaborators c;
    c.defaults = defaults.get();
    c.process = &process;
    return c;
  }

  TempDir dir;
  gelmora::app::test::WebHosts hosts;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  gelmora::ui::RecordingProcessControl process;
};

TEST_F(PolicyPageTest, ShowsTheTermsAndAgreeRecordsBeforeClosing) {
  DRVPolicyViewController page(collaborators());
  page.move(0, 0);
  page.show();
  EXPECT_EQ(page.size(), QSize(600, 550));
  EXPECT_EQ(page.webView()->geometry(), QRect(0, 0, 600, 500));
  EXPECT_EQ(page.toolBarView()->geometry(), QRect(0, 500, 600, 40));
  EXPECT_EQ(page.refuseButton()->geometry(), QRect(100, 10, 100, 30));
  EXPECT_EQ(page.agreeButton()->geometry(), QRect(430, 10, 100, 30));
  EXPECT_EQ(page.agreeButton()->text(), "Agree");
  EXPECT_EQ(page.refuseButton()->text(), "Disagree");
  ASSERT_TRUE(waitForTitle(page.webView()->page(), "terms of use"));
  EXPECT_EQ(gelmora::app::test::WebHosts::queries(hosts.brand, "/term-of-use/dravik.html").size(),
            1u);
  bool drawn = false;
  QImage img =
      gelmora::app::test::waitForColour(&page, QPoint(300, 250), QColor(0xf4, 0xf4, 0xf4), &drawn);
  gelmora::app::test::saveScreenshot(img, "policy_page.png");
  EXPECT_TRUE(drawn);
  EXPECT_EQ(img.pixelColor(300, 520), QColor(Qt::white));

  bool storedWhenDismissed = false;
  QObject::connect(&page, &DRVPolicyViewController::dismissed,
                   [&] { storedWhenDismissed = defaults->agreedPolicy(); });
  EXPECT_FALSE(defaults->agreedPolicy());
  QTest::mouseClick(page.agreeButton(), Qt::LeftButton);
  EXPECT_TRUE(storedWhenDismissed);
  EXPECT_FALSE(page.isVisible());
  // A second agree writes the same value; the file holds it.
  page.agreePolicy();
  EXPECT_TRUE(AppUserDefaults(std::make_shared<platform::defaults::Store>(tmp() / "defaults.json"))
                  .agreedPolicy());
  EXPECT_TRUE(process.exits.empty());
}

TEST_F(PolicyPageTest, RefuseEndsWithZeroAndWritesNothing) {
  DRVPolicyViewController page(collaborators());
  page.show();
  bool dismissed = false;
  QObject::connect(&page, &DRVPolicyViewController::dismissed, [&] { dismissed = true; });
  QTest::mouseClick(page.refuseButton(), Qt::LeftButton);
  EXPECT_EQ(process.exits, std::vector<int>{0});
  EXPECT_FALSE(dismissed);
  EXPECT_TRUE(page.isVisible());
  EXPECT_FALSE(store->contains("agreedPolicy"));
}

TEST_F(PolicyPageTest, NoTermsHostLeavesTheViewEmptyAndTheButtonsWork) {
  auto c = collaborators();
  c.h5Domain = [] { return std::string(); };
  DRVPolicyViewController page(c);
  EXPECT_TRUE(page.webView()->url().isEmpty());
  page.agreePolicy();
  EXPECT_TRUE(defaults->agreedPolicy());
}

}  // namespace
