#include "Tovra/Base/TQAPIModel.h"

#include <charconv>
#include <cmath>

#include "Tovra/Base/TQLogger.h"

namespace tq {

namespace {

constexpr double kTwo63 = 9223372036854775808.0;   // 2^63, exact in a double
constexpr double kTwo64 = 18446744073709551616.0;  // 2^64

int64_t saturateToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (d < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

uint64_t saturateToUint64(double d) {
  if (std::isnan(d) || d <= 0) return 0;
  if (d >= kTwo64) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(d);
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

int64_t Number::intValue() const {
  switch (kind_) {
    case Kind::Int:
      return i_;
    case Kind::Unsigned:
      return u_ > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                 ? std::numeric_limits<int64_t>::max()
                 : static_cast<int64_t>(u_);
    case Kind::Double:
      return saturateToInt64(d_);
    case Kind::Bool:
      return b_ ? 1 : 0;
  }
  return 0;
}

uint64_t Number::unsignedValue() const {
  switch (kind_) {
    case Kind::Int:
      return i_ < 0 ? 0 : static_cast<uint64_t>(i_);
    case Kind::Unsigned:
      return u_;
    case Kind::Double:
      return saturateToUint64(d_);
    case Kind::Bool:
      return b_ ? 1 : 0;
  }
  return 0;
}

double Number::doubleValue() const {
  switch (kind_) {
    case Kind::Int:
      return static_cast<double>(i_);
    case Kind::Unsigned:
      return static_cast<double>(u_);
    case Kind::Double:
      return d_;
    case Kind::Bool:
      return b_ ? 1.0 : 0.0;
  }
  return 0;
}

bool Number::boolValue() const {
  switch (kind_) {
    case Kind::Int:
      return i_ != 0;
    case Kind::Unsigned:
      return u_ != 0;
    case Kind::Double:
      return d_ != 0;
    case Kind::Bool:
      return b_;
  }
  return false;
}

nlohmann::json Number::toJSON() const {
  switch (kind_) {
    case Kind::Int:
      return nlohmann::json(i_);
    case Kind::Unsigned:
      return nlohmann::json(u_);
    case Kind::Double:
      return nlohmann::json(d_);
    case Kind::Bool:
      return nlohmann::json(b_);
  }
  return nlohmann::json();
}

std::optional<Number> Number::fromJSON(const nlohmann::json& j) {
  if (j.is_number_unsigned()) return Number(j.get<uint64_t>());
  if (j.is_number_integer()) return Number(j.get<int64_t>());
  if (j.is_number_float()) return Number(j.get<double>());
  if (j.is_boolean()) return Number(j.get<bool>());
  return std::nullopt;
}

std::optional<Number> Number::fromText(std::string_view text) {
  const char* b = text.data();
  const char* e = text.data() + text.size();
  if (b == e) return std::nullopt;
  int64_t i = 0;
  auto ri = std::from_chars(b, e, i);
  if (ri.ec == std::errc() && ri.ptr == e) return Number(i);
  uint64_t u = 0;
  auto ru = std::from_chars(b, e, u);
  if (ru.ec == std::errc() && ru.ptr == e) return Number(u);
  double d = 0;
  auto rd = std::from_chars(b, e, d, std::chars_format::general);
  // from_chars also reads "inf" and "nan": those are no JSON numbers.
  if (rd.ec == std::errc() && rd.ptr == e && std::isfinite(d)) return Number(d);
  return std::nullopt;
}

bool Number::operator==(const Number& o) const {
  auto integral = [](Kind k) { return k == Kind::Int || k == Kind::Unsigned; };
  if (integral(kind_) && integral(o.kind_)) {
    bool neg = kind_ == Kind::Int && i_ < 0;
    bool oneg = o.kind_ == Kind::Int && o.i_ < 0;
    if (neg != oneg) return false;
    if (neg) return i_ == o.i_;
    return unsignedValue() == o.unsignedValue();
  }
  if (kind_ == Kind::Bool || o.kind_ == Kind::Bool) {
    return kind_ == o.kind_ && b_ == o.b_;
  }
  return doubleValue() == o.doubleValue();
}

std::string MapContext::where() const {
  std::string w;
  for (const auto& p : path) {
    if (!w.empty() && p[0] != '[') w += '.';
    w += p;
  }
  return w.empty() ? "<top>" : w;
}

MapResult MapContext::fail(const std::string& what) {
  if (!error) {
    error = TQError{TQAPIModelErrorDomain, TQAPIModelErrorWrongKind,
                    "Could not map '" + where() + "': " + what, std::nullopt};
  }
  return MapResult::Fail;
}

void MapContext::warn(const std::string& what) const {
  logWarn("model mapping: '" + where() + "' left unset: " + what);
}

namespace detail {

MapResult decodeString(const nlohmann::json& j, std::string& out, MapContext& ctx) {
  if (j.is_string()) {
    out = j.get<std::string>();
    return MapResult::Set;
  }
  if (j.is_boolean()) {
    out = j.get<bool>() ? "1" : "0";
    return MapResult::Set;
  }
  if (j.is_number()) {
    out = j.dump();
    return MapResult::Set;
  }
  ctx.warn("expected text");
  return MapResult::Unset;
}

MapResult decodeNumber(const nlohmann::json& j, Number& out, MapContext& ctx) {
  std::optional<Number> n =
      j.is_string() ? Number::fromText(j.get_ref<const std::string&>()) : Number::fromJSON(j);
  if (!n) {
    ctx.warn("expected a number");
    return MapResult::Unset;
  }
  out = *n;
  return MapResult::Set;
}

MapResult decodeSigned(const nlohmann::json& j, int64_t lo, int64_t hi, int64_t& out,
                       MapContext& ctx) {
  Number n;
  MapResult r = decodeNumber(j, n, ctx);
  if (r != MapResult::Set) return r;
  int64_t v = n.intValue();
  // Values beyond the member's own range saturate rather than wrap.
  out = v < lo ? lo : (v > hi ? hi : v);
  return MapResult::Set;
}

MapResult decodeUnsigned(const nlohmann::json& j, uint64_t hi, uint64_t& out, MapContext& ctx) {
  Number n;
  MapResult r = decodeNumber(j, n, ctx);
  if (r != MapResult::Set) return r;
  uint64_t v = n.unsignedValue();
  out = v > hi ? hi : v;
  return MapResult::Set;
}

MapResult decodeDouble(const nlohmann::json& j, double& out, MapContext& ctx) {
  Number n;
  MapResult r = decodeNumber(j, n, ctx);
  if (r != MapResult::Set) return r;
  out = n.doubleValue();
  return MapResult::Set;
}

MapResult decodeBool(const nlohmann::json& j, bool& out, MapContext& ctx) {
  if (j.is_string()) {
    const auto& s = j.get_ref<const std::string&>();
    if (s == "true") {
      out = true;
      return MapResult::Set;
    }
    if (s == "false") {
      out = false;
      return MapResult::Set;
    }
  }
  Number n;
  MapResult r = decodeNumber(j, n, ctx);
  if (r != MapResult::Set) return r;
  out = n.boolValue();
  return MapResult::Set;
}

}  // namespace detail

bool parseJSON(std::string_view text, nlohmann::json& out, TQError* error) {
  auto refuse = [&](const std::string& why) {
    if (error) *error = TQError{TQAPIModelErrorDomain, TQAPIModelErrorNotJSON, why, std::nullopt};
    return false;
  };
  // Measure nesting before parsing, so that no later recursive walk can run deep.
  size_t pos = 0;
  while (pos < text.size() && isBlank(text[pos])) ++pos;
  if (pos == text.size() || (text[pos] != '{' && text[pos] != '[')) {
    return refuse("JSON text must hold an object or an array");
  }
  int depth = 0;
  bool inString = false;
  for (size_t i = pos; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxJSONDepth) return refuse("JSON nesting deeper than 256 levels");
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  nlohmann::json j = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (j.is_discarded()) return refuse("text is not valid JSON");
  out = std::move(j);
  return true;
}

std::string dumpJSON(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

long long integerValue(const nlohmann::json& j) {
  if (j.is_number() || j.is_boolean()) {
    auto n = Number::fromJSON(j);
    return n ? n->intValue() : 0;
  }
  if (!j.is_string()) return 0;
  const auto& s = j.get_ref<const std::string&>();
  size_t i = 0;
  while (i < s.size() && (isBlank(s[i]))) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    neg = s[i] == '-';
    ++i;
  }
  constexpr long long kMax = std::numeric_limits<long long>::max();
  constexpr long long kMin = std::numeric_limits<long long>::min();
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    int d = s[i] - '0';
    if (!neg) {
      if (v > (kMax - d) / 10) return kMax;
      v = v * 10 + d;
    } else {
      if (v < (kMin + d) / 10) return kMin;
      v = v * 10 - d;
    }
  }
  return v;
}

}  // namespace tq
