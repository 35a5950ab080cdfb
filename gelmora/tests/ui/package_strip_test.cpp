// The package strip against the account and web stand-ins: value lines, pictures by slot,
// clearing, newest answer only, and the upgrade button.
#include "AccelerateTestSupport.h"
#include "JolvexAPI/JolvexAPI.h"
#include "platform/reactive/Subject.h"
#include "standin/AccountServer.h"
#include "standin/WebStandin.h"
#include "ui/General/Helper/ImageLoader.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Sections/Accelerate/TsAccelerateTopView.h"

using gelmora::ui::test::waitFor;
using nlohmann::json;

namespace {

constexpr const char* kPath = "/q5client/package/privilege";

json answer(int images, const char* flow = "100G") {
  json list = json::array();
  for (int i = 0; i < images; ++i)
    list.push_back(
        {{"image", "/img/" + std::to_string(i) + ".png"}, {"name", "P" + std::to_string(i)}});
  return {{"flow_size", flow}, {"mobile_limit", "2"}, {"desktop_limit", "1"}, {"images", list}};
}

class PackageStripTest : public AccelerateFixture {
 protected:
  void SetUp() override {
    AccelerateFixture::SetUp();
    ASSERT_TRUE(account.start());
    set_JVXDomain(account.host());
    for (int i = 0; i < 8; ++i)
      standin::WebStandin::addFile(web, "/img/" + std::to_string(i) + ".png",
                                   standin::WebStandin::samplePng(), "image/png");
    ASSERT_TRUE(web.start());
    signIn({{"uid", 5}, {"product_id", 42}});
    TsAccelerateTopDependencies d;
    d.user = user.get();
    d.webDomain = [this] { return web.hostPort(); };
    d.images = &images;
    strip = std::make_unique<TsAccelerateTopView>(d);
    strip->resize(770, 110);
  }
  void TearDown() override {
    strip.reset();
    account.stop();
    AccelerateFixture::TearDown();
  }
  size_t sent() {
    size_t n = 0;
    for (auto& r : account.requests()) n += r.path == kPath;
    return n;
  }
  void fetch(json payload) {
    account.scriptPayloads(kPath, {payload});
    const size_t before = sent();
    strip->getPackageInfo();
    ASSERT_TRUE(waitFor([&] { return sent() > before; }));
    QTest::qWait(100);
  }
  int pictures() {
    int n = 0;
    for (auto* l : strip->imageViewArr()) n += !l->pixmap().isNull();
    return n;
  }

  standin::account::AccountServer account;
  standin::HttpStandin web;
  gelmora::ui::ImageLoader images;
  std::unique_ptr<TsAccelerateTopView> strip;
};

TEST_F(PackageStripTest, SlotsFollowTheNewestAnswer) {
  fetch(answer(0));
  EXPECT_EQ(account.lastRequest()->info->at("package_id"), 42);
  EXPECT_EQ(strip->rightTFArr()[0]->text(), "100G");
  EXPECT_EQ(strip->rightTFArr()[2]->text(), "1");
  EXPECT_EQ(pictures(), 0);

  fetch(answer(8));
  ASSERT_TRUE(waitFor([&] { return pictures() == 6; }));
  EXPECT_EQ(strip->tfArr()[5]->text(), "P5");

  fetch(answer(3, "5G"));  // a smaller answer clears the slots it does not reach
  EXPECT_EQ(pictures(), 3);
  EXPECT_EQ(strip->tfArr()[3]->text(), "");
  EXPECT_TRUE(strip->imageURLs()[3].isEmpty());
  EXPECT_EQ(strip->rightTFArr()[0]->text(), "5G");

  // Entries without an image or with another host's address leave their picture empty.
  fetch({{"images", {{{"name", "none"}}, {{"image", "@evil.example/x.png"}, {"name", "x"}}}}});
  EXPECT_EQ(pictures(), 0);
  EXPECT_EQ(strip->tfArr()[0]->text(), "none");
  EXPECT_TRUE(strip->imageURLs()[1].isEmpty());
}

TEST_F(PackageStripTest, AnOlderAnswerNeverOverwritesANewerOne) {
  // Answers arriving in reverse order: the older one is dropped.
  std::vector<platform::reactive::Subject<json>> answers(3);
  size_t asked = 0;
  TsAccelerateTopDependencies d;
  d.user = user.get();
  d.webDomain = [this] { return web.hostPort(); };
  d.images = &images;
  d.fetch = [&](std::optional<int64_t>) { return answers[asked++].signal(); };
  strip = std::make_unique<TsAccelerateTopView>(d);
  strip->getPackageInfo();
  strip->getPackageInfo();
  answers[1].sendNext(answer(2, "new"));
  answers[0].sendNext(answer(1, "old"));
  EXPECT_EQ(strip->rightTFArr()[0]->text(), "new");

  // A strip released before its answer arrives drops it.
  strip->getPackageInfo();
  strip.reset();
  answers[2].sendNext(answer(1, "late"));
}

TEST_F(PackageStripTest, UpgradePostsTheTopUpNotification) {
  int posted = 0;
  auto& center = platform::notifications::NotificationCenter::defaultCenter();
  center.addObserver(this, TsUserCenterTopupNotification,
                     [&](const platform::notifications::Notification&) { ++posted; });
  strip->upgradeButton()->click();
  center.removeObserver(this);
  EXPECT_EQ(posted, 1);
}

}  // namespace
