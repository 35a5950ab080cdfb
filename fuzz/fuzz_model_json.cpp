// Model mapping of arbitrary JSON text: what maps must write back and map again to an equal model.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Tovra/Base/TQAPIModel.h"

namespace {

struct Leaf : TQAPIModel {
  std::optional<std::string> s;
  std::optional<tq::Number> n;
  bool operator==(const Leaf&) const = default;
  static constexpr auto fields() {
    return std::make_tuple(tq::field("s", &Leaf::s), tq::field("n", &Leaf::n));
  }
};

struct Every : TQAPIModel {
  std::optional<std::string> text;
  std::optional<tq::Number> number;
  std::optional<int> i32;
  std::optional<long long> i64;
  std::optional<unsigned short> u16;
  std::optional<uint64_t> u64;
  std::optional<double> real;
  std::optional<float> f32;
  std::optional<bool> flag;
  std::optional<nlohmann::json> any;
  std::optional<Leaf> leaf;
  std::optional<std::vector<Leaf>> leaves;
  std::optional<std::vector<std::string>> texts;
  std::optional<std::vector<tq::Number>> numbers;
  std::optional<std::vector<nlohmann::json>> anys;
  bool operator==(const Every&) const = default;
  static constexpr auto fields() {
    return std::make_tuple(tq::field("text", &Every::text), tq::field("number", &Every::number),
                           tq::field("i32", &Every::i32), tq::field("i64", &Every::i64),
                           tq::field("u16", &Every::u16), tq::field("u64", &Every::u64),
                           tq::field("real", &Every::real), tq::field("f32", &Every::f32),
                           tq::field("flag", &Every::flag), tq::field("any", &Every::any),
                           tq::field("leaf", &Every::leaf), tq::field("leaves", &Every::leaves),
                           tq::field("texts", &Every::texts), tq::field("numbers", &Every::numbers),
                           tq::field("anys", &Every::anys));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TQError error;
  auto model = tq::fromJSON<Every>(text, &error);
  if (!model) {
    if (!error) __builtin_trap();  // a refusal always says why
    return 0;
  }
  std::string written = tq::toJSON(*model);
  auto again = tq::fromJSON<Every>(written);
  if (!again || !(*again == *model)) __builtin_trap();
  if (tq::toJSON(*again) != written) __builtin_trap();
  return 0;
}
