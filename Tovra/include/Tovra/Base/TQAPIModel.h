#pragma once
// Model runtime: JSON dictionaries to typed value models and back.
//
// A model is a value type deriving from TQAPIModel with one std::optional member per property
// and a static field table that names each member's JSON key:
//
//   struct JVX_SERVER : TQAPIModel {
//     std::optional<std::string> host;
//     std::optional<long long> port;
//     bool operator==(const JVX_SERVER&) const = default;
//     static constexpr auto fields() {
//       return std::make_tuple(tq::field("host", &JVX_SERVER::host),
//                              tq::field("port", &JVX_SERVER::port));
//     }
//   };
//   struct JVX_NODE : TQAPIModel {
//     std::optional<tq::Number> rest_traffic;             // keeps int/unsigned/double/bool kind
//     std::optional<JVX_SERVER> entrance;                 // nested model
//     std::optional<std::vector<JVX_SERVER>> servers;     // list of models
//     std::optional<nlohmann::json> extra;                // any JSON value, kept as is
//     ...
//   };
//
//   TQError err;
//   std::optional<JVX_NODE> m = tq::fromDictionary<JVX_NODE>(dict, &err);
//   nlohmann::json d = tq::toDictionary(*m);
//   std::string text = tq::toJSON(*m);
//   auto back = tq::fromJSON<JVX_NODE>(text);
//   auto other = tq::modelFromOtherModel<OTHER>(*m);
//
// Member types: std::string, tq::Number, any integer type, double, float, bool, nlohmann::json,
// another model, and std::vector of any of these.
//
// Rules (one set for every model): unset members are not written (never a JSON null); absent keys
// and null leave members unset; unknown keys are ignored; input that is not an object fails.
// Numeric text into a number member is parsed; a number or bool into a text member becomes its
// decimal text; other wrong kinds in plain members stay unset with a warning in the log. A
// wrong-kind nested model, list of models or list element fails the mapping; null elements of a
// list are skipped. Failures are errors of "TQAPIModelErrorDomain".
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "Tovra/Base/TQConstants.h"

// Base of every model; carries nothing, marks the type as a model.
struct TQAPIModel {
  bool operator==(const TQAPIModel&) const = default;
};

namespace tq {

// A JSON number that remembers its kind, so that what was read is written back the same way.
class Number {
 public:
  enum class Kind { Int, Unsigned, Double, Bool };

  Number() = default;
  Number(bool b) : kind_(Kind::Bool), b_(b) {}  // NOLINT: implicit on purpose
  Number(double d) : kind_(Kind::Double), d_(d) {}
  template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>) Number(I i) {  // NOLINT
    if constexpr (std::is_signed_v<I>) {
      kind_ = Kind::Int;
      i_ = static_cast<int64_t>(i);
    } else {
      kind_ = Kind::Unsigned;
      u_ = static_cast<uint64_t>(i);
    }
  }

  Kind kind() const { return kind_; }
  // Saturating conversions; a double is truncated towards zero.
  int64_t intValue() const;
  uint64_t unsignedValue() const;
  double doubleValue() const;
  bool boolValue() const;

  nlohmann::json toJSON() const;
  // From a JSON number or bool; nothing for other kinds.
  static std::optional<Number> fromJSON(const nlohmann::json& j);
  // From text holding one whole number ("12", "-3", "1.5"); nothing for anything else.
  static std::optional<Number> fromText(std::string_view text);

  // Equal when they hold the same value: integers compare exactly whatever their signedness.
  bool operator==(const Number& o) const;

 private:
  Kind kind_ = Kind::Int;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
  bool b_ = false;
};

// One row of a model's field table.
template <class M, class T>
struct Field {
  const char* key;
  std::optional<T> M::*member;
};

template <class M, class T>
constexpr Field<M, T> field(const char* key, std::optional<T> M::*member) {
  return Field<M, T>{key, member};
}

template <class M>
concept Model = std::is_base_of_v<TQAPIModel, M> && requires {
  M::fields();
};

// The outcome of mapping one value.
enum class MapResult { Set, Unset, Fail };

// Collects the key path of the value being mapped, the first error and the warnings.
struct MapContext {
  std::vector<std::string> path;
  TQError error;
  int depth = 0;

  std::string where() const;
  MapResult fail(const std::string& what);
  void warn(const std::string& what) const;
};

// Nesting of models or JSON values deeper than this is refused.
inline constexpr int kMaxJSONDepth = 256;

namespace detail {

// Scalars, decoded with the rules above (defined in TQAPIModel.cpp).
MapResult decodeString(const nlohmann::json& j, std::string& out, MapContext& ctx);
MapResult decodeNumber(const nlohmann::json& j, Number& out, MapContext& ctx);
MapResult decodeSigned(const nlohmann::json& j, int64_t lo, int64_t hi, int64_t& out,
                       MapContext& ctx);
MapResult decodeUnsigned(const nlohmann::json& j, uint64_t hi, uint64_t& out, MapContext& ctx);
MapResult decodeDouble(const nlohmann::json& j, double& out, MapContext& ctx);
MapResult decodeBool(const nlohmann::json& j, bool& out, MapContext& ctx);

template <class T>
struct Codec;

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {
  using Element = T;
};

template <class T>
MapResult decodeValue(const nlohmann::json& j, T& out, MapContext& ctx);
template <class T>
nlohmann::json encodeValue(const T& v);

template <Model M>
MapResult decodeModel(const nlohmann::json& j, M& out, MapContext& ctx);
template <Model M>
nlohmann::json encodeModel(const M& m);

template <class T>
MapResult decodeValue(const nlohmann::json& j, T& out, MapContext& ctx) {
  if constexpr (std::is_same_v<T, std::string>) {
    return decodeString(j, out, ctx);
  } else if constexpr (std::is_same_v<T, Number>) {
    return decodeNumber(j, out, ctx);
  } else if constexpr (std::is_same_v<T, bool>) {
    return decodeBool(j, out, ctx);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    int64_t v = 0;
    MapResult r =
        decodeSigned(j, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), v, ctx);
    if (r == MapResult::Set) out = static_cast<T>(v);
    return r;
  } else if constexpr (std::is_integral_v<T>) {
    uint64_t v = 0;
    MapResult r = decodeUnsigned(j, std::numeric_limits<T>::max(), v, ctx);
    if (r == MapResult::Set) out = static_cast<T>(v);
    return r;
  } else if constexpr (std::is_floating_point_v<T>) {
    double v = 0;
    MapResult r = decodeDouble(j, v, ctx);
    if (r == MapResult::Set) {
      if constexpr (std::is_same_v<T, float>) {
        if (v > std::numeric_limits<float>::max() || v < -std::numeric_limits<float>::max()) {
          ctx.warn("number out of range");
          return MapResult::Unset;
        }
      }
      out = static_cast<T>(v);
    }
    return r;
  } else if constexpr (std::is_same_v<T, nlohmann::json>) {
    out = j;
    return MapResult::Set;
  } else if constexpr (Model<T>) {
    return decodeModel(j, out, ctx);
  } else if constexpr (IsVector<T>::value) {
    using E = typename IsVector<T>::Element;
    if (!j.is_array()) return ctx.fail("expected a list");
    if (++ctx.depth > kMaxJSONDepth) return ctx.fail("nesting too deep");
    out.clear();
    out.reserve(j.size());
    for (size_t i = 0; i < j.size(); ++i) {
      const auto& e = j[i];
      if (e.is_null()) continue;
      ctx.path.push_back("[" + std::to_string(i) + "]");
      E value{};
      MapResult r = decodeValue(e, value, ctx);
      ctx.path.pop_back();
      if (r == MapResult::Fail) return r;
      // An element that cannot take its kind spoils the whole list.
      if (r == MapResult::Unset) return ctx.fail("list element of the wrong kind");
      out.push_back(std::move(value));
    }
    --ctx.depth;
    return MapResult::Set;
  } else {
    static_assert(sizeof(T) == 0, "unsupported model member type");
  }
}

template <class T>
nlohmann::json encodeValue(const T& v) {
  if constexpr (std::is_same_v<T, Number>) {
    return v.toJSON();
  } else if constexpr (Model<T>) {
    return encodeModel(v);
  } else if constexpr (IsVector<T>::value) {
    nlohmann::json a = nlohmann::json::array();
    for (const auto& e : v) a.push_back(encodeValue(e));
    return a;
  } else {
    return nlohmann::json(v);
  }
}

template <Model M>
MapResult decodeModel(const nlohmann::json& j, M& out, MapContext& ctx) {
  if (!j.is_object()) return ctx.fail("expected an object");
  if (++ctx.depth > kMaxJSONDepth) return ctx.fail("nesting too deep");
  MapResult result = MapResult::Set;
  std::apply(
      [&](const auto&... f) {
        auto one = [&](const auto& fld) {
          if (result == MapResult::Fail) return;
          auto& slot = out.*(fld.member);
          slot.reset();
          auto it = j.find(fld.key);
          if (it == j.end() || it->is_null()) return;
          ctx.path.emplace_back(fld.key);
          typename std::remove_reference_t<decltype(slot)>::value_type value{};
          MapResult r = decodeValue(*it, value, ctx);
          ctx.path.pop_back();
          if (r == MapResult::Set) {
            slot = std::move(value);
          } else if (r == MapResult::Fail) {
            result = MapResult::Fail;
          }
        };
        (one(f), ...);
        (void)one;  // a model without fields
      },
      M::fields());
  --ctx.depth;
  return result;
}

template <Model M>
nlohmann::json encodeModel(const M& m) {
  nlohmann::json d = nlohmann::json::object();
  std::apply(
      [&](const auto&... f) {
        auto one = [&](const auto& fld) {
          const auto& slot = m.*(fld.member);
          if (slot.has_value()) d[fld.key] = encodeValue(*slot);
        };
        (one(f), ...);
        (void)one;  // a model without fields
      },
      M::fields());
  return d;
}

}  // namespace detail

// The JSON dictionary of a model: set members only.
template <Model M>
nlohmann::json toDictionary(const M& m) {
  return detail::encodeModel(m);
}

// A model from a JSON dictionary; nothing (and *error set) when mapping fails.
template <Model M>
std::optional<M> fromDictionary(const nlohmann::json& dict, TQError* error = nullptr) {
  MapContext ctx;
  M m{};
  if (detail::decodeModel(dict, m, ctx) == MapResult::Fail) {
    if (error) *error = ctx.error;
    return std::nullopt;
  }
  return m;
}

// Parses JSON text the way every answer and stored model is read: only an object or an array at
// top level, nesting at most kMaxJSONDepth, no exceptions. False (and *error set) on bad input.
bool parseJSON(std::string_view text, nlohmann::json& out, TQError* error = nullptr);
// Compact JSON text; invalid UTF-8 inside strings is replaced rather than refused.
std::string dumpJSON(const nlohmann::json& j);

// Compact JSON text of toDictionary.
template <Model M>
std::string toJSON(const M& m) {
  return dumpJSON(toDictionary(m));
}

// A model from JSON text; nothing for text that is not a JSON object or does not map.
template <Model M>
std::optional<M> fromJSON(std::string_view text, TQError* error = nullptr) {
  nlohmann::json j;
  if (!parseJSON(text, j, error)) return std::nullopt;
  return fromDictionary<M>(j, error);
}

// A model of class To from another model's dictionary (classes that share keys).
template <Model To, Model From>
std::optional<To> modelFromOtherModel(const From& other, TQError* error = nullptr) {
  return fromDictionary<To>(toDictionary(other), error);
}

// The integer value of a JSON value as the service's "code" is read: a number is truncated, a bool
// is 0 or 1, text is read from its leading digits ("12x" is 12), all saturating; anything else 0.
long long integerValue(const nlohmann::json& j);

}  // namespace tq
