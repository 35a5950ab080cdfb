#pragma once
// Checks of the older login window, in the order it runs them, and its picture code.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct LegacyLoginForm {
  std::string countryCode;
  std::string phone;
  std::string smsCode;
  std::string pictureEntry;  // form 2 only
};

struct LegacyLoginFailure {
  std::string message;
  std::string info;
  bool newPicture = false;  // a picture-code mismatch makes a new one
};

namespace LegacyLoginRules {

// Only the digits 0-9 (the empty text passes; emptiness is its own step).
bool isDigits(const std::string& phone);

struct CodeRequest {
  enum Kind { Send, SwitchToForm2, Fail } kind = Send;
  LegacyLoginFailure failure;
};
// Steps 1-5 of an SMS-code request; `form` 1 or 2, `times` successful requests so far.
CodeRequest checkCodeRequest(const LegacyLoginForm& f, int form, int times,
                             const std::string& pictureCode);
// Failure texts of a code request that failed (with an error description, or none).
LegacyLoginFailure codeRequestFailed(const std::optional<std::string>& errorDescription);
// Steps 1-5 of a sign-in; none when all pass.
std::optional<LegacyLoginFailure> checkSignIn(const LegacyLoginForm& f, int form,
                                              const std::string& pictureCode);
// Six digits, each a 32-bit draw modulo 10.
std::string pictureCode(const std::function<std::uint32_t()>& draw);

}  // namespace LegacyLoginRules
