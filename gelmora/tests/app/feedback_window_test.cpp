// The feedback window under a real X server against the web stand-in: where it sits, what it
// loads, and addresses it refuses to load.
#include <gtest/gtest.h>

#include "WebTestSupport.h"
#include "app/Sections/Feedback/TsFeedbackWindow.h"
#include "app/Sections/Shop/TsIAPShopViewController.h"

using gelmora::app::TsFeedbackWindow;
using gelmora::app::test::waitForTitle;
using gelmora::ui::test::waitFor;

namespace {

class FeedbackWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { hosts.start(); }
  void TearDown() override { hosts.stop(); }
  gelmora::app::test::WebHosts hosts;
};

TEST_F(FeedbackWindowTest, CentredOnTheScreen) {
  EXPECT_EQ(TsFeedbackWindow::centerFrame(QSize(1440, 900)), QRect(360, 150, 720, 600));
  EXPECT_EQ(TsFeedbackWindow::centerFrame(QSize(1280, 1024)), QRect(280, 212, 720, 600));
}

TEST_F(FeedbackWindowTest, LoadsThePageWithoutShowingAndHidesOnClose) {
  gelmora::ui::ScreenRegistry registry;
  gelmora::app::registerWebScreens(registry);
  std::unique_ptr<QWidget> made(registry.feedbackWindow.make(hosts.brandUrl("/feedback/pay?x=1")));
  auto* window = qobject_cast<TsFeedbackWindow*>(made.get());
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->size(), QSize(720, 600));
  ASSERT_TRUE(waitForTitle(window->webView()->page(), "pay feedback"));
  EXPECT_EQ(gelmora::app::test::WebHosts::queries(hosts.brand, "/feedback/pay"),
            std::vector<std::string>{"x=1"});
  window->show();
  window->close();
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(window->testAttribute(Qt::WA_DeleteOnClose));
}

TEST_F(FeedbackWindowTest, AnAddressThatIsNoWebPageLeavesTheViewEmpty) {
  for (const char* bad : {"", "not a url", "file:///etc/passwd", "javascript:alert(1)", "http://",
                          "ftp://127.0.0.1/x"}) {
    SCOPED_TRACE(bad);
    TsFeedbackWindow window(bad);
    EXPECT_TRUE(window.webView()->url().isEmpty() ||
                window.webView()->url().toString() == "about:blank");
  }
  EXPECT_EQ(hosts.brand.requestCount(), 0u);
}

}  // namespace
