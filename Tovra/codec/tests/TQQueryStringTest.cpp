#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Tovra/Codec/TQQueryString.h"

namespace {

using nlohmann::json;

struct Case {
  const char* name;
  json params;
  const char* expected;
};

class QueryString : public testing::TestWithParam<Case> {};

TEST_P(QueryString, Encodes) { EXPECT_EQ(tq::queryString(GetParam().params), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryString,
    testing::Values(
        Case{"KeysSortedByBytes", json{{"b", "2"}, {"a", "1"}, {"B", "0"}, {"a_", "3"}},
             "B=0&a=1&a_=3&b=2"},
        Case{"NestedObject",
             json{{"third_account", {{"provider", "wx"}, {"identity", "id"}, {"access_token", ""}}},
                  {"client_ip", "1.2.3.4"}},
             "client_ip=1.2.3.4&third_account%5Baccess_token%5D=&third_account%5Bidentity%5D=id&"
             "third_account%5Bprovider%5D=wx"},
        Case{"ArrayKeepsOrder", json{{"ids", {3, 1, 2}}}, "ids%5B%5D=3&ids%5B%5D=1&ids%5B%5D=2"},
        Case{"ArrayOfObjects",
             json{{"list", json::array({json{{"z", 1}, {"a", "x"}}, json{{"m", true}}})}},
             "list%5B%5D%5Ba%5D=x&list%5B%5D%5Bz%5D=1&list%5B%5D%5Bm%5D=1"},
        Case{"Bools", json{{"t", true}, {"f", false}}, "f=0&t=1"},
        Case{"Integers",
             json{{"neg", -42}, {"big", 9007199254740993LL}, {"u", 18446744073709551615ULL}},
             "big=9007199254740993&neg=-42&u=18446744073709551615"},
        Case{"Doubles", json{{"a", 2.0}, {"b", 0.1}, {"c", -1.5}, {"d", 1e21}},
             "a=2&b=0.1&c=-1.5&d=1e%2B21"},
        Case{"NullGivesKeyAlone", json{{"a", nullptr}, {"b", "x"}}, "a&b=x"},
        Case{"EmptyContainersGiveNoPair",
             json{{"a", json::array()}, {"b", json::object()}, {"c", "1"}}, "c=1"},
        Case{"EmptyObject", json::object(), ""},
        Case{"PlusAmpersandEquals", json{{"q", "a+b&c=d e"}}, "q=a%2Bb%26c%3Dd%20e"},
        Case{"NonAscii", json{{"名", "加速"}}, "%E5%90%8D=%E5%8A%A0%E9%80%9F"},
        Case{"EmptyKeyNestedStillBracketed", json{{"", {{"a", 1}}}}, "%5Ba%5D=1"},
        Case{"TopLevelArrayHasNoKeys", json::array({1, 2}), ""},
        Case{"TopLevelScalarHasNoKeys", json("text"), ""}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
