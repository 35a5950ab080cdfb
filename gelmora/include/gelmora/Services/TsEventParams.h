#pragma once
// Parameters of one event hit and the Measurement Protocol names they travel under. A parameter
// is sent only when its property holds a value; an empty text is sent as an empty value.
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TsEventParams {
 public:
  using Pairs = std::vector<std::pair<std::string, std::string>>;

  virtual ~TsEventParams() = default;

  std::optional<std::string> category;  // "ec"
  std::optional<std::string> action;    // "ea"
  std::optional<std::string> label;     // "el"
  std::optional<std::string> cid;       // "cd2": the analytics client identifier
  std::optional<std::string> uid;       // "cd3": the signed-in user's uid
  std::optional<std::string> hitType;   // "t": "event" or "pageview"

  // (parameter, value) of every property that holds a value, in a fixed order.
  virtual Pairs dictionaryRepresentation() const;
};
