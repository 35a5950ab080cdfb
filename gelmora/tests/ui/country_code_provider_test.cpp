// The dial-code list: name order, the locale's country on top with its sorted index, the first and
// last array elements, malformed members and files, and the shipped resource.
#include <gtest/gtest.h>

#include "ui/Sections/Login/TsCountryCodeProvider.h"

namespace {

std::vector<std::string> keys(const TsCountryCodeProvider::Items& items) {
  std::vector<std::string> out;
  for (const auto& i : items) out.push_back(i->key);
  return out;
}

constexpr const char* kFile = R"({
  "GB": ["United Kingdom", "44"],
  "CN": ["China", 86],
  "DE": ["Germany", "ignored", "49"],
  "AU": ["Australia", "61"],
  "ZA": ["South Africa", "27"]
})";

TEST(CountryCodeProvider, SortedByNameLocaleFirst) {
  // A locale country not in the file: pure name order, indexes 0..n-1.
  TsCountryCodeProvider plain(kFile, "FR");
  EXPECT_EQ(keys(plain.items()), (std::vector<std::string>{"AU", "CN", "DE", "ZA", "GB"}));
  for (size_t i = 0; i < plain.items().size(); ++i) EXPECT_EQ(plain.items()[i]->index, int64_t(i));

  // The locale's country (any case) on top, keeping its sorted index.
  TsCountryCodeProvider local(kFile, "de");
  EXPECT_EQ(keys(local.items()), (std::vector<std::string>{"DE", "AU", "CN", "ZA", "GB"}));
  EXPECT_EQ(local.items()[0]->index, 2);
  EXPECT_EQ(local.items()[1]->index, 0);
  // Three elements: the first is the name, the last the code; a number reads like text.
  EXPECT_EQ(local.items()[0]->countryName, "Germany");
  EXPECT_EQ(local.items()[0]->countryCode, "+49");
  EXPECT_EQ(local.itemsMap().at("CN")->countryCode, "+86");
  EXPECT_EQ(local.itemsMap().at("GB")->countryCode, "+44");
  EXPECT_EQ(local.itemsMap().at("GB")->countryEmoji, "");
  EXPECT_EQ(local.itemsMap().at("GB"), local.items()[4]);  // the same objects
  EXPECT_EQ(local.itemsMap().size(), 5u);

  // The first sorts first anyway.
  TsCountryCodeProvider first(kFile, "AU");
  EXPECT_EQ(first.items()[0]->key, "AU");
  EXPECT_EQ(first.items()[0]->index, 0);
}

TEST(CountryCodeProvider, NameOrderIsByteOrder) {
  TsCountryCodeProvider p(
      R"({"A":["alpha","1"],"B":["Beta","2"],"C":["Zulu","3"],"D":["Édith","4"]})", "");
  // Upper case before lower case, non-ASCII last.
  EXPECT_EQ(keys(p.items()), (std::vector<std::string>{"B", "C", "A", "D"}));
}

TEST(CountryCodeProvider, MalformedMembersAreSkipped) {
  TsCountryCodeProvider p(R"({
    "AA": [],
    "BB": {"name": "x"},
    "CC": "Country",
    "DD": [null, "1"],
    "EE": ["Name", true],
    "FF": [["nested"], "3"],
    "GG": ["Good", "7"],
    "HH": ["Only"],
    "II": [12, 1.5]
  })",
                          "GG");
  EXPECT_EQ(keys(p.items()), (std::vector<std::string>{"GG", "II", "HH"}));
  // A one-element array is its own name and code; numbers read as JSON writes them.
  EXPECT_EQ(p.itemsMap().at("HH")->countryCode, "+Only");
  EXPECT_EQ(p.itemsMap().at("II")->countryName, "12");
  EXPECT_EQ(p.itemsMap().at("II")->countryCode, "+1.5");
}

TEST(CountryCodeProvider, NoFileOrNoObjectGivesAnEmptyList) {
  for (const char* text :
       {"", "[1,2]", "\"CN\"", "{\"CN\": [\"China\", \"86\"]", "null", "\xff\xfe"}) {
    TsCountryCodeProvider p(text, "CN");
    EXPECT_TRUE(p.items().empty()) << text;
    EXPECT_TRUE(p.itemsMap().empty()) << text;
  }
}

TEST(CountryCodeProvider, TheShippedList) {
  const auto& shared = TsCountryCodeProvider::sharedInstance();
  ASSERT_GE(shared.items().size(), 50u);
  EXPECT_EQ(&shared, &TsCountryCodeProvider::sharedInstance());
  EXPECT_EQ(shared.itemsMap().at("CN")->countryCode, "+86");
  EXPECT_EQ(shared.itemsMap().at("GB")->countryCode, "+44");
  for (const auto& [key, item] : shared.itemsMap()) {
    EXPECT_EQ(key.size(), 2u);
    EXPECT_EQ(key, item->key);
    EXPECT_GT(item->countryCode.size(), 1u);
  }
}

}  // namespace
