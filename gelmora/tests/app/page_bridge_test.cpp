// The page bridge (window.external) in the web engine under a real X server, against web
// stand-ins: what a page gets back, calls made before the channel is up, which frames may act,
// and arguments that are not usable.
#include <gtest/gtest.h>

#include <QWebEngineView>
#include <nlohmann/json.hpp>

#include "WebTestSupport.h"
#include "app/Sections/Web/PageBridge.h"
#include "ui/Application/RecordingCollaborators.h"

using gelmora::app::PageBridge;
using gelmora::app::test::run;
using gelmora::app::test::waitForTitle;
using gelmora::ui::test::LogCapture;
using gelmora::ui::test::waitFor;

namespace {

struct Call {
  std::string name, value;
};

class PageBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override { hosts.start(); }
  void TearDown() override {
    view.reset();
    hosts.stop();
  }

  PageBridge* open(PageBridge::Methods methods, const std::string& url) {
    view = std::make_unique<QWebEngineView>();
    view->resize(600, 400);
    page = new PageBridge(
        methods,
        [this](const QString& name, const QString& value) {
          calls.push_back({name.toStdString(), value.toStdString()});
          if (name == QLatin1String("OnOpenLink")) PageBridge::openLink(opener, value);
        },
        view.get());
    view->setPage(page);
    view->show();
    page->load(QUrl(QString::fromStdString(url)));
    return page;
  }
  bool waitForCall(const std::string& name, int timeoutMs = 20000) {
    return waitFor(
        [&] {
          for (const auto& c : calls)
            if (c.name == name) return true;
          return false;
        },
        timeoutMs);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.name);
    return out;
  }

  gelmora::app::test::WebHosts hosts;
  std::unique_ptr<QWebEngineView> view;
  PageBridge* page = nullptr;
  std::vector<Call> calls;
  gelmora::ui::RecordingUrlOpener opener;
};

TEST_F(PageBridgeTest, BrandPageCallsEarlyAndGetsOneBack) {
  open(PageBridge::Methods::WithReturn, hosts.brandUrl("/in-app/package?x=1"));
  // Made by the page's first script, before the channel could be up.
  ASSERT_TRUE(waitForCall("PageLoading"));
  EXPECT_EQ(calls.front().name, "PageLoading");
  EXPECT_EQ(calls.front().value, "?x=1");
  ASSERT_TRUE(waitForTitle(page, "top-up"));
  run(page, "withReturn()");
  EXPECT_TRUE(waitForTitle(page, "1"));
  // The answer needs no brand page: any page gets 1 at once.
  EXPECT_EQ(run(page, "String(window.external.InvokeFromJavascriptWithReturn(5, {}))"), "1");
  EXPECT_EQ(run(page, "String(window.external.InvokeFromJavascriptWithReturn())"), "1");

  // Links: only http and https addresses reach the opener.
  for (const char* link : {"http://127.0.0.1/a", "https://127.0.0.1/b", "file:///etc/passwd",
                           "javascript:alert(1)", "mailto:a@b.test", "not a link", ""}) {
    run(page, QString("openLink(%1)")
                  .arg(QString::fromStdString(nlohmann::json(std::string(link)).dump())));
  }
  run(page, "window.external.InvokeFromJavascript('Marker', '')");
  ASSERT_TRUE(waitForCall("Marker"));
  EXPECT_EQ(opener.opened, (std::vector<std::string>{"http://127.0.0.1/a", "https://127.0.0.1/b"}));
}

TEST_F(PageBridgeTest, OneMethodVariantLacksTheSecond) {
  open(PageBridge::Methods::InvokeOnly, hosts.brandUrl("/in-app/package"));
  ASSERT_TRUE(waitForCall("PageLoading"));
  ASSERT_TRUE(waitForTitle(page, "top-up"));
  run(page, "withReturn()");
  EXPECT_TRUE(waitForTitle(page, "missing"));
  EXPECT_EQ(run(page, "typeof window.external.InvokeFromJavascript"), "function");
}

TEST_F(PageBridgeTest, ArgumentsThatAreNoTextOrTooLongAreDropped) {
  LogCapture log;
  open(PageBridge::Methods::WithReturn, hosts.brandUrl("/in-app/package"));
  ASSERT_TRUE(waitForCall("PageLoading"));
  calls.clear();
  run(page,
      "var x = window.external;"
      "x.InvokeFromJavascript('OnOpenLink', 5);"
      "x.InvokeFromJavascript({}, 'http://127.0.0.1/');"
      "x.InvokeFromJavascript('OnOpenLink');"
      "x.InvokeFromJavascript('Long', 'a'.repeat(65537));"
      "x.InvokeFromJavascript('Fits', 'a'.repeat(65536));"
      "x.InvokeFromJavascript('Marker', '');");
  ASSERT_TRUE(waitForCall("Marker"));
  EXPECT_EQ(names(), (std::vector<std::string>{"Fits", "Marker"}));
  EXPECT_TRUE(opener.opened.empty());
  EXPECT_TRUE(log.contains("not text or too long"));
}

constexpr const char* kRefused = "refused for a frame outside";

TEST_F(PageBridgeTest, AnotherPortOfTheSameHostIsNotTheBrands) {
  LogCapture log;
  open(PageBridge::Methods::WithReturn, hosts.foreignUrl("/in-app/package"));
  ASSERT_TRUE(waitForTitle(page, "top-up"));
  ASSERT_TRUE(waitFor([&] { return log.count(kRefused) >= 1; }, 20000));
  run(page, "openLink('http://127.0.0.1/a'); withReturn()");
  EXPECT_TRUE(waitForTitle(page, "1"));  // still answered
  ASSERT_TRUE(waitFor([&] { return log.count(kRefused) >= 2; }, 20000));
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(opener.opened.empty());
}

TEST_F(PageBridgeTest, EachFrameActsByItsOwnAddress) {
  LogCapture log;
  // A brand page with a foreign frame in it: the page acts, its frame does not.
  const std::string inner =
      "<!DOCTYPE html><html><head><title>inner</title></head><body>"
      "<iframe src='" +
      hosts.foreignUrl("/in-app/package?frame=2") +
      "'></iframe>"
      "<script>window.external.InvokeFromJavascript('Host', '');</script></body></html>";
  standin::WebStandin::addFile(hosts.brand, "/frames/inner", inner, "text/html");
  // A foreign page with a brand frame in it: the frame acts, the page does not.
  const std::string outer =
      "<!DOCTYPE html><html><head><title>outer</title><script>"
      "window.external.InvokeFromJavascript('Outer', '');</script></head><body>"
      "<iframe src='" +
      hosts.brandUrl("/in-app/package?frame=1") + "'></iframe></body></html>";
  standin::WebStandin::addFile(hosts.foreign, "/frames/outer", outer, "text/html");

  open(PageBridge::Methods::WithReturn, hosts.brandUrl("/frames/inner"));
  ASSERT_TRUE(waitForCall("Host"));
  ASSERT_TRUE(waitFor([&] { return log.count(kRefused) >= 1; }, 20000));
  page->load(QUrl(QString::fromStdString(hosts.foreignUrl("/frames/outer"))));
  ASSERT_TRUE(waitForCall("PageLoading"));
  ASSERT_TRUE(waitFor([&] { return log.count(kRefused) >= 2; }, 20000));
  std::vector<std::string> got;
  for (const auto& c : calls) got.push_back(c.name + c.value);
  EXPECT_EQ(got, (std::vector<std::string>{"Host", "PageLoading?frame=1"}));
  EXPECT_EQ(log.count(kRefused), 2u);
}

}  // namespace
