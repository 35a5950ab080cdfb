// Texts and bars of the traffic detail windows.
#include <gtest/gtest.h>

#include "gelmora/Legacy/FlowDetailFormatter.h"

namespace {

using json = nlohmann::json;

TEST(FlowDetail, TextsAndBars) {
  json stored = {{"last_traffic", {{"total", 10}, {"used", 2.5}}},
                 {"this_traffic", {{"total", 1}, {"used", 2.5}}},
                 {"info", {{"unit", "G"}, {"msg", "本月流量"}}}};
  auto d = FlowDetail::fromStored(stored);
  ASSERT_TRUE(d);
  const auto& last = d->kinds[FlowDetail::Last];
  EXPECT_EQ(last.usedText, "共10.00G 已用2.50G");
  EXPECT_EQ(last.remaining, "剩余 7.50");
  EXPECT_EQ(last.barMaximum, 1000);
  EXPECT_EQ(last.barValue, 250);
  // Used above total: a negative remaining amount and a full bar.
  const auto& now = d->kinds[FlowDetail::This];
  EXPECT_EQ(now.remaining, "剩余 -1.50");
  EXPECT_EQ(now.barValue, now.barMaximum);
  // A kind that is missing: empty bar, zero amounts.
  const auto& extra = d->kinds[FlowDetail::Extra];
  EXPECT_EQ(extra.remaining, "剩余 0.00");
  EXPECT_EQ(extra.usedText, "共0.00G 已用0.00G");
  EXPECT_EQ(extra.barMaximum, 1);
  EXPECT_EQ(extra.barValue, 0);
  EXPECT_EQ(d->unit, "G");
  EXPECT_EQ(d->message, "本月流量");
}

TEST(FlowDetail, NothingStoredOrNoObject) {
  std::string line;
  EXPECT_FALSE(FlowDetail::fromStored(std::nullopt, &line));
  EXPECT_EQ(line, "无法获取流量详情");
  line.clear();
  EXPECT_FALSE(FlowDetail::fromStored(json("text"), &line));
  EXPECT_FALSE(FlowDetail::fromStored(json::array({1}), &line));
  EXPECT_EQ(line, "");
}

TEST(FlowDetail, HugeAndOddAmountsStayInTheBar) {
  auto d = FlowDetail::fromStored(json{{"last_traffic", {{"total", 1e300}, {"used", -5}}},
                                       {"this_traffic", {{"total", "8"}, {"used", "x"}}},
                                       {"info", "no object"}});
  ASSERT_TRUE(d);
  EXPECT_EQ(d->kinds[0].barValue, 0);
  EXPECT_GT(d->kinds[0].barMaximum, 0);
  EXPECT_EQ(d->kinds[1].usedText, "共8.00 已用0.00");
  EXPECT_EQ(d->unit, "");
}

}  // namespace
