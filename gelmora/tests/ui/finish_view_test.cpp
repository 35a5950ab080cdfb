// The result line against the geo stand-in: the place, the chosen line when the lookup fails,
// and only the newest of two lookups shown.
#include "AccelerateTestSupport.h"
#include "gelmora/Services/TsfetchIPService.h"
#include "standin/GeoStandin.h"
#include "ui/Kit/L10n.h"
#include "ui/Sections/Accelerate/TsAccelerateFinishView.h"

using gelmora::ui::test::waitFor;

namespace {

class FinishViewTest : public AccelerateFixture {
 protected:
  void SetUp() override {
    AccelerateFixture::SetUp();
    ASSERT_TRUE(geoServer.start());
    geoServer.setServiceData({{"country", "Japan"}, {"city", "Tokyo"}, {"ip", "203.0.113.9"}});
  }
  QString shown() const { return view->locationTF()->text(); }
  std::unique_ptr<TsAccelerateFinishView> make(std::function<std::string()> url) {
    return std::make_unique<TsAccelerateFinishView>(
        [url] { return TsfetchIPService::tarvoService(url()); }, defaults.get());
  }
  standin::GeoStandin geoServer;
  std::unique_ptr<TsAccelerateFinishView> view;
};

TEST_F(FinishViewTest, ShowsThePlaceOrTheLineWhenTheLookupFails) {
  view = make([this] { return geoServer.serviceUrl(); });
  view->reloadData();
  EXPECT_EQ(shown(), "IP: getting...");
  ASSERT_TRUE(waitFor([&] { return shown() == "IP: Japan-Tokyo"; }));

  // Nothing listens on port 1: the lookup fails.
  view = make([] { return std::string("http://127.0.0.1:1/"); });
  view->reloadData();
  ASSERT_TRUE(waitFor([&] { return shown() != "IP: getting..."; }));
  EXPECT_EQ(shown(), gelmora::ui::L10n::text("default_node"));
  chooseLine(5, "Korea-Seoul");
  view->reloadData();
  ASSERT_TRUE(waitFor([&] { return shown() == "Korea-Seoul"; }));
}

TEST_F(FinishViewTest, TheNewerLookupWins) {
  standin::GeoStandin slow;
  ASSERT_TRUE(slow.start());
  slow.setServiceData({{"country", "Old"}, {"city", "Place"}});
  slow.setSilent(true);
  int lookups = 0;
  view = make([&] { return lookups++ == 0 ? slow.serviceUrl() : geoServer.serviceUrl(); });
  view->reloadData();
  ASSERT_TRUE(slow.server().waitForHeld(1));
  view->reloadData();
  ASSERT_TRUE(waitFor([&] { return shown() == "IP: Japan-Tokyo"; }));
  slow.server().release();
  QTest::qWait(200);  // the late answer has every chance to land
  EXPECT_EQ(shown(), "IP: Japan-Tokyo");
  view.reset();
  slow.stop();
}

}  // namespace
