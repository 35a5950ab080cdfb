#pragma once
// The error value carried by signals, commands and service calls. An empty error (no domain, code
// 0, no description) stands for "no error object".
#include <optional>
#include <string>

namespace platform::reactive {

struct Error {
  std::string domain;
  long long code = 0;
  std::string description;
  std::optional<std::string> recoverySuggestion;

  bool empty() const { return domain.empty() && code == 0 && description.empty(); }
  explicit operator bool() const { return !empty(); }
  bool operator==(const Error&) const = default;
};

}  // namespace platform::reactive
