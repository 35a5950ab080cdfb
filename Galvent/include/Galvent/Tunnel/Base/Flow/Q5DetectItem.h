#pragma once
// One detect answer (type-301 body): delay and loss of one entrance-exit path.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct Q5DetectItem {
  int64_t delay = 0;    // ms
  int64_t loss = 0;     // percent, 0..100
  std::string itemKey;  // "target_ip|nat_ip"

  // Nothing, with *error set, for a body that is not a JSON object, lacks a text or number it
  // needs, or has a "total_count" <= 0. Loss is clamped to 0..100 and delay to >= 0.
  static std::optional<Q5DetectItem> initWithJSONData(std::span<const uint8_t> body,
                                                      std::string* error = nullptr);
  // "%@: D %ld, L %ld"
  std::string description() const;
};
