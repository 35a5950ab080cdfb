#include <gtest/gtest.h>

#include <limits>

#include "Tovra/Base/TQAPIModel.h"
#include "Tovra/REST/TQCall.h"

namespace {

struct Inner : TQAPIModel {
  std::optional<std::string> name;
  std::optional<long long> port;
  bool operator==(const Inner&) const = default;
  static constexpr auto fields() {
    return std::make_tuple(tq::field("name", &Inner::name), tq::field("port", &Inner::port));
  }
};

struct Outer : TQAPIModel {
  std::optional<std::string> text;
  std::optional<tq::Number> number;
  std::optional<int> small;
  std::optional<unsigned> count;
  std::optional<double> ratio;
  std::optional<bool> flag;
  std::optional<nlohmann::json> extra;
  std::optional<Inner> inner;
  std::optional<std::vector<Inner>> items;
  std::optional<std::vector<std::string>> tags;
  std::optional<std::string> renamed;
  bool operator==(const Outer&) const = default;
  static constexpr auto fields() {
    return std::make_tuple(tq::field("text", &Outer::text), tq::field("number", &Outer::number),
                           tq::field("small", &Outer::small), tq::field("count", &Outer::count),
                           tq::field("ratio", &Outer::ratio), tq::field("flag", &Outer::flag),
                           tq::field("extra", &Outer::extra), tq::field("inner", &Outer::inner),
                           tq::field("items", &Outer::items), tq::field("tags", &Outer::tags),
                           tq::field("other_key", &Outer::renamed));
  }
};

// Shares the "name" key with Inner.
struct Named : TQAPIModel {
  std::optional<std::string> name;
  bool operator==(const Named&) const = default;
  static constexpr auto fields() { return std::make_tuple(tq::field("name", &Named::name)); }
};

static_assert(tq::Model<Outer>);

nlohmann::json J(const char* text) { return nlohmann::json::parse(text); }

TEST(TQAPIModel, UnsetMembersAreLeftOutAndEmptyModelIsEmptyObject) {
  EXPECT_EQ(tq::toJSON(Outer{}), "{}");
  Outer o;
  o.text = "a";
  o.inner = Inner{};
  EXPECT_EQ(tq::toDictionary(o), J(R"({"text":"a","inner":{}})"));
}

TEST(TQAPIModel, RoundTripKeepsEveryKindAndEquality) {
  const char* text = R"({"text":"hé","number":-7,"small":3,"count":4,"ratio":0.25,"flag":true,)"
                     R"("extra":{"a":[1,null]},"inner":{"name":"n","port":80},)"
                     R"("items":[{"name":"x"},null,{"port":1}],"tags":["a","b"],"other_key":"r"})";
  auto o = tq::fromJSON<Outer>(text);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->renamed, "r");
  ASSERT_EQ(o->items->size(), 2u) << "null list elements are skipped";
  auto back = tq::fromJSON<Outer>(tq::toJSON(*o));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, *o);
  // Numbers are written back as they were read.
  EXPECT_EQ(tq::toDictionary(*o)["number"].dump(), "-7");
  auto d = tq::fromJSON<Outer>(R"({"number":1.5})");
  EXPECT_EQ(tq::toDictionary(*d)["number"].dump(), "1.5");
  auto b = tq::fromJSON<Outer>(R"({"number":true})");
  EXPECT_EQ(tq::toDictionary(*b)["number"].dump(), "true");
}

TEST(TQAPIModel, AbsentNullAndUnknownKeys) {
  auto o = tq::fromJSON<Outer>(R"({"text":null,"unknown":5,"inner":null})");
  ASSERT_TRUE(o);
  EXPECT_EQ(*o, Outer{});
}

TEST(TQAPIModel, InputThatIsNotAnObjectFails) {
  for (const char* text : {"", "[]", "[1]", "5", "\"x\"", "null", "{", "not json", "{\"a\":}"}) {
    TQError err;
    EXPECT_FALSE(tq::fromJSON<Outer>(text, &err)) << text;
    EXPECT_TRUE(err) << text;
  }
  TQError err;
  EXPECT_FALSE(tq::fromDictionary<Outer>(J("[1,2]"), &err));
  EXPECT_EQ(err.domain, TQAPIModelErrorDomain);
}

// Plain members take what converts, leave the rest unset; nested shapes fail the mapping.
TEST(TQAPIModel, WrongKindsTable) {
  struct Case {
    const char* json;
    bool maps;
    const char* expectedDictionary;  // when it maps
  };
  const Case cases[] = {
      {R"({"text":12})", true, R"({"text":"12"})"},
      {R"({"text":true})", true, R"({"text":"1"})"},
      {R"({"text":2.5})", true, R"({"text":"2.5"})"},
      {R"({"text":{"a":1}})", true, "{}"},
      {R"({"number":"42"})", true, R"({"number":42})"},
      {R"({"number":"4.5"})", true, R"({"number":4.5})"},
      {R"({"number":"12x"})", true, "{}"},
      {R"({"number":"inf"})", true, "{}"},
      {R"({"number":[1]})", true, "{}"},
      {R"({"small":1e300})", true, R"({"small":2147483647})"},
      {R"({"small":-1e300})", true, R"({"small":-2147483648})"},
      {R"({"small":18446744073709551615})", true, R"({"small":2147483647})"},
      {R"({"small":"99999999999999999999"})", true, R"({"small":2147483647})"},
      {R"({"count":-5})", true, R"({"count":0})"},
      {R"({"ratio":"1e999"})", true, "{}"},
      {R"({"flag":0})", true, R"({"flag":false})"},
      {R"({"flag":"true"})", true, R"({"flag":true})"},
      {R"({"flag":"maybe"})", true, "{}"},
      {R"({"inner":5})", false, nullptr},
      {R"({"inner":[]})", false, nullptr},
      {R"({"inner":{"port":{}}})", true, R"({"inner":{}})"},
      {R"({"items":{}})", false, nullptr},
      {R"({"items":[1]})", false, nullptr},
      {R"({"items":[{"name":"a"},"b"]})", false, nullptr},
      {R"({"tags":["a",{}]})", false, nullptr},
      {R"({"tags":["a",3]})", true, R"({"tags":["a","3"]})"},
  };
  for (const auto& c : cases) {
    TQError err;
    auto o = tq::fromJSON<Outer>(c.json, &err);
    EXPECT_EQ(o.has_value(), c.maps) << c.json;
    if (o && c.expectedDictionary) {
      EXPECT_EQ(tq::toDictionary(*o), J(c.expectedDictionary)) << c.json;
    }
    if (!c.maps) {
      EXPECT_EQ(err.domain, TQAPIModelErrorDomain) << c.json;
      EXPECT_FALSE(err.description.empty());
    }
  }
}

TEST(TQAPIModel, DeepNestingIsRefusedWithAClearError) {
  std::string deep(300, '[');
  deep += std::string(300, ']');
  nlohmann::json j;
  TQError err;
  EXPECT_FALSE(tq::parseJSON(deep, j, &err));
  EXPECT_NE(err.description.find("256"), std::string::npos);
  std::string ok = "{\"extra\":" + std::string(200, '[') + std::string(200, ']') + "}";
  EXPECT_TRUE(tq::fromJSON<Outer>(ok));
  // Brackets inside strings do not count.
  std::string quoted = "{\"text\":\"" + std::string(400, '[') + "\"}";
  EXPECT_TRUE(tq::fromJSON<Outer>(quoted));
}

TEST(TQAPIModel, ModelFromOtherModelUsesSharedKeys) {
  Inner in;
  in.name = "n";
  in.port = 3;
  auto named = tq::modelFromOtherModel<Named>(in);
  ASSERT_TRUE(named);
  EXPECT_EQ(named->name, "n");
}

TEST(TQAPIModel, DumpReplacesInvalidUtf8) {
  Outer o;
  o.text = std::string("a\xff", 2);
  std::string text = tq::toJSON(o);
  EXPECT_TRUE(tq::fromJSON<Outer>(text));
}

TEST(TQAPIModel, IntegerValueOfCode) {
  struct Case {
    const char* json;
    long long value;
  };
  const Case cases[] = {
      {"5", 5},
      {"-3", -3},
      {"7.9", 7},
      {"-7.9", -7},
      {"1e300", std::numeric_limits<long long>::max()},
      {"18446744073709551615", std::numeric_limits<long long>::max()},
      {"true", 1},
      {"false", 0},
      {"\"12x\"", 12},
      {"\"  -4\"", -4},
      {"\"x\"", 0},
      {"\"99999999999999999999999\"", std::numeric_limits<long long>::max()},
      {"\"-99999999999999999999999\"", std::numeric_limits<long long>::min()},
      {"null", 0},
      {"[1]", 0},
      {"{}", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tq::integerValue(nlohmann::json::parse(c.json)), c.value) << c.json;
  }
}

TEST(TQAPIModel, NumberEqualityIgnoresSignednessOfIntegers) {
  EXPECT_EQ(tq::Number(5), tq::Number(5u));
  EXPECT_NE(tq::Number(-1), tq::Number(std::numeric_limits<uint64_t>::max()));
  EXPECT_NE(tq::Number(true), tq::Number(1));
  EXPECT_EQ(tq::Number(2.0), tq::Number(2.0));
}

}  // namespace

namespace {

struct SelfFirst : tq::Call<SelfFirst, Inner, Inner, TQRestAPI> {
  static constexpr const char* kPath = "/self/first";
  static constexpr const char* kClassName = "SelfFirst";
};

class BaseFirst : public tq::Call<TQRestAPI, tq::NoModel, std::vector<Inner>> {
 public:
  std::string className() const override { return "BaseFirst"; }
  std::string literalPath() const override { return "/base/first"; }
};

TEST(TQCall, PrepareParamsSetsPathMethodAndRequestDictionary) {
  auto a = std::make_shared<SelfFirst>();
  ASSERT_TRUE(a->prepareParams());
  EXPECT_EQ(a->path(), "/self/first");
  EXPECT_EQ(a->method(), "POST");
  EXPECT_EQ(a->params(), nlohmann::json::object()) << "an empty request is {}";
  EXPECT_EQ(a->encodedPostDataString(), "{}");
  a->req().name = "n";
  ASSERT_TRUE(a->prepareParams());
  EXPECT_EQ(a->params(), J(R"({"name":"n"})"));
  EXPECT_EQ(a->className(), "SelfFirst");

  auto b = std::make_shared<BaseFirst>();
  b->setParams(J(R"({"kept":1})"));
  ASSERT_TRUE(b->prepareParams());
  EXPECT_EQ(b->params(), J(R"({"kept":1})")) << "no request model keeps params";
  EXPECT_EQ(b->path(), "/base/first");
}

TEST(TQCall, AnswerHandlingMapsDictionaryAndListPayloads) {
  auto a = std::make_shared<SelfFirst>();
  a->handleRespData(J(R"({"code":0,"data":{"name":"x"}})"));
  EXPECT_EQ(a->status(), TQAPI::TQAPIStatusSuccess);
  ASSERT_TRUE(a->resp());
  EXPECT_EQ(a->resp()->name, "x");

  auto l = std::make_shared<SelfFirst>();
  l->handleRespData(J(R"({"data":[{"name":"x"},{"port":2}]})"));
  ASSERT_TRUE(l->respList());
  EXPECT_EQ(l->respList()->size(), 2u);

  auto b = std::make_shared<BaseFirst>();
  b->handleRespData(J(R"({"data":[{"name":"x"}]})"));
  ASSERT_TRUE(b->resp());
  EXPECT_EQ(b->resp()->size(), 1u);

  // A wrong-kind payload fails with a mapping error; a service error still maps the payload.
  auto bad = std::make_shared<SelfFirst>();
  bad->handleRespData(J(R"({"data":{"port":{"x":1},"name":"k"}})"));
  EXPECT_EQ(bad->status(), TQAPI::TQAPIStatusSuccess) << "plain wrong kinds stay unset";
  auto worse = std::make_shared<BaseFirst>();
  worse->handleRespData(J(R"({"data":[5]})"));
  EXPECT_EQ(worse->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(worse->lastError().domain, TQAPIModelErrorDomain);
  auto both = std::make_shared<SelfFirst>();
  both->handleRespData(J(R"({"code":9,"info":"i","data":{"name":"m"}})"));
  EXPECT_EQ(both->status(), TQAPI::TQAPIStatusFailed);
  ASSERT_TRUE(both->resp());
  EXPECT_EQ(both->lastError().code, 9);
}

}  // namespace
