#include <gtest/gtest.h>

#include "gelmora/Shared/WebAddress.h"

namespace {

TEST(WebAddress, AppendLang) {
  struct Case {
    const char* url;
    const char* want;
  } cases[] = {
      {"http://w.example/p", "http://w.example/p?lang=en-US"},
      {"http://w.example/p?", "http://w.example/p?&lang=en-US"},
      {"http://w.example/p?a=1&lang=zh", "http://w.example/p?a=1&lang=zh&lang=en-US"},
      {"http://w.example/p#f", "http://w.example/p?lang=en-US#f"},
      {"http://w.example/p?a#x", "http://w.example/p?a&lang=en-US#x"},
      {"http://w.example/p#a?b", "http://w.example/p?lang=en-US#a?b"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(gelmora::appendLang(c.url, "en-US"), c.want) << c.url;
}

TEST(WebAddress, RechargeTitle) {
  struct Case {
    const char* title;
    bool want;
  } cases[] = {{"Purchase", true}, {"Purchases", false}, {"立即充值", true},
               {"儲值卡", true},   {"purchase", false},  {"", false}};
  for (const auto& c : cases) EXPECT_EQ(gelmora::isRechargeTitle(c.title), c.want) << c.title;
}

}  // namespace
