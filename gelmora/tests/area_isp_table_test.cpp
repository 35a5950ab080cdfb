// The area and ISP address table of the rule store.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Tools/LOG.h"

TEST(AreaIspTableTest, LinesGiveItemsOrAreSkipped) {
  struct Case {
    std::string line;
    std::optional<AreaispItem> item;
  };
  const Case cases[] = {
      {"16777216\t16777471\t1\t2", AreaispItem{1, 2, "1.0.0.0-1.0.0.255"}},
      {"16777216\t16777471\t1\t2\r", AreaispItem{1, 2, "1.0.0.0-1.0.0.255"}},
      {"0\t4294967295\t-3\t0", AreaispItem{-3, 0, "0.0.0.0-255.255.255.255"}},
      {"16777216\t16777471\t1\t2\t9", std::nullopt},  // five fields
      {"16777216\t16777471\t1", std::nullopt},
      {"", std::nullopt},
      {"4294967296\t1\t1\t1", std::nullopt},  // beyond 32 bits
      {"1\t2\t99999999999\t1", std::nullopt},
      {"1\t2\tx\t1", std::nullopt},
      {"1\t2\t\t1", std::nullopt},
      {" 1\t2\t3\t4", std::nullopt},
      {"1\t2\t3\t4\r\r", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(AreaispItem::fromLine(c.line), c.item);
  }
}

TEST(AreaIspTableTest, FileLoadsReplacesAndAnswersRangesInOrder) {
  std::vector<std::string> console;
  LOG::setConsoleSink([&](const std::string& l) { console.push_back(l); });
  TempDir dir;
  auto file = dir.write("area_isp.txt",
                        "16777216\t16777471\t1\t2\r\n"
                        "bad line\n"
                        "16777472\t16777727\t1\t3\n"
                        "33554432\t33554687\t1\t2\t5\n"
                        "50331648\t50331903\t1\t2");
  TsParams::updateAreaispListWithFile(file.string());
  EXPECT_EQ(TsParams::getAreaispList().size(), 3u);
  EXPECT_EQ(TsParams::getIPListFromAreaisp(1, 2),
            (std::vector<std::string>{"1.0.0.0-1.0.0.255", "3.0.0.0-3.0.0.255"}));
  EXPECT_EQ(TsParams::getIPListFromAreaisp(1, 3), std::vector<std::string>{"1.0.1.0-1.0.1.255"});
  EXPECT_TRUE(TsParams::getIPListFromAreaisp(2, 1).empty());
  auto has = [&](const std::string& l) {
    return std::find(console.begin(), console.end(), l) != console.end();
  };
  EXPECT_TRUE(has("一共获取[5]行文本"));
  EXPECT_TRUE(has("最前一项是 area=1, isp=2, ip=1.0.0.0-1.0.0.255"));
  EXPECT_TRUE(has("最后一项是 area=1, isp=2, ip=3.0.0.0-3.0.0.255"));

  // An unreadable file leaves the table empty.
  TsParams::updateAreaispListWithFile((dir.path() / "missing.txt").string());
  EXPECT_TRUE(TsParams::getAreaispList().empty());
  EXPECT_TRUE(has((dir.path() / "missing.txt").string() + " 不存在或者无法被读取"));
  LOG::setConsoleSink({});
}

TEST(AreaIspTableTest, AddressReplyTakesTextsOnly) {
  TsParams::updateWithAreaispReturnObject({{"data", {{"file", "http://h/f"}, {"sha1", 5}}}});
  EXPECT_EQ(TsParams::getAreaispDownloadAddress(), "http://h/f");
  EXPECT_FALSE(TsParams::getAreaispSha1());
  TsParams::updateWithAreaispReturnObject({{"data", "not an object"}});
  TsParams::updateWithAreaispReturnObject({{"data", {{"sha1", "abc"}}}});
  EXPECT_EQ(TsParams::getAreaispSha1(), "abc");
  EXPECT_EQ(TsParams::getAreaispDownloadAddress(), "http://h/f");
}
