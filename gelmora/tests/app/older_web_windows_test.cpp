// The older web windows in the web engine under a real X server, against web stand-ins: which
// script methods each offers, commands reaching the older main window, the top-up window telling
// it once per closing, foreign pages, and FeedBackB opened through the real older HTTP layer.
#include <gtest/gtest.h>

#include <QLabel>
#include <set>

#include "../ui/LegacyUiTestSupport.h"
#include "PexaraAPI/PXACrypto.h"
#include "WebTestSupport.h"
#include "app/Legacy/OlderWebWindow.h"
#include "gelmora/Service/Web/TsHttpHelper.h"
#include "ui/Legacy/MainWindow.h"

using gelmora::app::OlderWebWindow;
using gelmora::app::test::run;
using gelmora::app::test::waitForTitle;
using gelmora::ui::test::waitFor;

namespace {

class OlderWebWindowsTest : public gelmora::ui::test::LegacyUiTest {
 protected:
  void SetUp() override {
    hosts.start();
    main = std::make_unique<gelmora::ui::MainWindow>(ctx);
  }
  void TearDown() override {
    TsHttpHelper::setFeedbackHook({});
    main.reset();
    hosts.stop();
  }
  std::unique_ptr<OlderWebWindow> open(const char* name, const std::string& url) {
    TsParamsDirectory::setValue(
        LegacyPageCommands::pageKey(
            std::unique_ptr<OlderWebWindow>(OlderWebWindow::make(name))->variant()),
        url);
    std::unique_ptr<OlderWebWindow> w(OlderWebWindow::make(name));
    w->show();
    EXPECT_TRUE(waitFor([&] { return !w->page()->title().isEmpty(); }, 20000));
    return w;
  }
  // A call from the page as its own script makes it.
  void call(OlderWebWindow& w, const char* name, const char* value) {
    run(w.page(),
        QString("window.external.InvokeFromJavascript('%1', '%2'); 'ok'").arg(name, value));
  }
  int beatsAfterWait() {
    advance(std::chrono::milliseconds(5500));
    main->heartbeat().drain();
    return services.count("heartBeat");
  }

  gelmora::app::test::WebHosts hosts;
  std::unique_ptr<gelmora::ui::MainWindow> main;
};

TEST_F(OlderWebWindowsTest, ScriptMethodsPerVariant) {
  struct Case {
    const char* name;
    bool withReturn;
  };
  for (auto c : {Case{"FeedBackB", true}, Case{"Share", true}, Case{"Feedback", false},
                 Case{"Recharge", false}, Case{"MyOrder", false}, Case{"Question", false}}) {
    SCOPED_TRACE(c.name);
    auto w = open(c.name, hosts.brandUrl("/in-app/package"));
    EXPECT_EQ(w->objectName(), c.name);
    EXPECT_EQ(run(w->page(), "typeof window.external.InvokeFromJavascript"), "function");
    if (c.withReturn) {
      EXPECT_EQ(run(w->page(), "String(window.external.InvokeFromJavascriptWithReturn('x', ''))"),
                "1");
    } else {
      EXPECT_EQ(run(w->page(), "typeof window.external.InvokeFromJavascriptWithReturn"),
                "undefined");
    }
  }
}

TEST_F(OlderWebWindowsTest, CommandsReachTheMainWindow) {
  auto w = open("FeedBackB", hosts.brandUrl("/in-app/package"));
  call(*w, "SetClipboard", "复制内容");
  ASSERT_TRUE(waitFor([&] { return !clip.contents.empty(); }, 10000));
  EXPECT_EQ(clip.contents[0], "复制内容");
  EXPECT_TRUE(w->isVisible());
  main->OnLeftMineClick();
  call(*w, "SwitchSpeedView", "");
  ASSERT_TRUE(waitFor([&] { return main->currentTab() == "speed_normal"; }, 10000));
  EXPECT_FALSE(w->isVisible());

  auto share = open("Share", hosts.brandUrl("/in-app/package"));
  call(*share, "SetWindowTitle", "邀请");
  ASSERT_TRUE(waitFor([&] { return share->titleLabel()->text() == QStringLiteral("邀请"); }));
}

TEST_F(OlderWebWindowsTest, ForeignPagesGetNothingUnlessTheOlderServiceNamedThem) {
  auto w = open("FeedBackB", hosts.foreignUrl("/in-app/package"));
  call(*w, "SetClipboard", "x");
  call(*w, "CloseWindow", "");
  run(w->page(), "1");
  QCoreApplication::processEvents();
  EXPECT_TRUE(clip.contents.empty());
  EXPECT_TRUE(w->isVisible());
  // A host in "domain_list" is served.
  TsParamsDirectory::setNSDictionaryValue("domain_list",
                                          nlohmann::json::array({hosts.foreign.hostPort()}));
  call(*w, "SetClipboard", "y");
  ASSERT_TRUE(waitFor([&] { return !clip.contents.empty(); }, 10000));
}

TEST_F(OlderWebWindowsTest, RechargeTellsTheMainWindowOncePerClosing) {
  auto w = open("Recharge", hosts.brandUrl("/in-app/package"));
  call(*w, "CloseWindow", "");
  ASSERT_TRUE(waitFor([&] { return !w->isVisible(); }, 10000));
  EXPECT_EQ(beatsAfterWait(), 1);
  auto second = open("Recharge", hosts.brandUrl("/in-app/package"));
  second->close();  // the close button
  EXPECT_EQ(beatsAfterWait(), 2);
  EXPECT_EQ(beatsAfterWait(), 2);
}

TEST_F(OlderWebWindowsTest, FeedbackAnswerOpensFeedBackBAndASecondReplacesIt) {
  gelmora::app::installFeedbackHook();
  for (const std::string path : {"/in-app/package", "/in-app/orders"}) {
    const std::string url = hosts.brandUrl(path);
    nlohmann::json answer = {{"code", 0}, {"info", "ok"}, {"data", {{"feedback", url}}}};
    TQError error;
    auto read = TsHttpHelper::readAnswer(TsHttpHelper::Sender::Post, "http://older.test/x", "",
                                         PXACrypto::encryptedStringOfString(answer.dump()), &error);
    ASSERT_TRUE(read);
    ASSERT_TRUE(waitFor([&] {
      return gelmora::app::keptFeedBackB() &&
             gelmora::app::keptFeedBackB()->address().toStdString() == url;
    }));
    EXPECT_TRUE(gelmora::app::keptFeedBackB()->isVisible());
    EXPECT_EQ(gelmora::app::keptFeedBackB()->objectName(), "FeedBackB");
  }
  // The kept window as a person sees it, once its page has drawn.
  OlderWebWindow* kept = gelmora::app::keptFeedBackB();
  ASSERT_TRUE(waitFor([&] { return !kept->page()->title().isEmpty(); }, 20000));
  QImage shot;
  ASSERT_TRUE(waitFor(
      [&] {
        shot = kept->grab().toImage();
        std::set<QRgb> colours;
        for (int y = 60; y < shot.height(); y += 4)
          for (int x = 0; x < shot.width(); x += 4) colours.insert(shot.pixel(x, y));
        return colours.size() > 3;
      },
      20000));
  gelmora::app::test::saveScreenshot(shot, "older-feedbackb.png");
  // The window and its title bar carry the feedback page's title, drawn in the bar.
  EXPECT_EQ(kept->windowTitle(), QStringLiteral("意见反馈"));
  EXPECT_EQ(kept->titleLabel()->text(), QStringLiteral("意见反馈"));
  QRect r(kept->titleLabel()->mapTo(kept, QPoint(0, 0)), kept->titleLabel()->size());
  r = r.intersected(shot.rect());
  const QRgb bar = shot.pixel(r.right(), r.top());
  int ink = 0;
  for (int y = r.top(); y <= r.bottom(); ++y) {
    for (int x = r.left(); x <= r.right(); ++x) {
      const QRgb c = shot.pixel(x, y);
      ink += std::abs(qRed(c) - qRed(bar)) + std::abs(qGreen(c) - qGreen(bar)) +
                 std::abs(qBlue(c) - qBlue(bar)) >
             150;
    }
  }
  EXPECT_GT(ink, 15);
}

}  // namespace
