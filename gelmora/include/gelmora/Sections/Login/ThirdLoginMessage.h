#pragma once
// The outside-account page's "userLoginSuccess" message, read and checked: what the page asks
// for, whatever it sent. Plain data in, plain outcome out; the page handler acts on the outcome.
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "JolvexAPI/JolvexSchemaModels.h"

struct ThirdLoginMessage {
  // Text longer than this is not read.
  static constexpr size_t kMaxMessageBytes = 1 << 20;

  enum class Outcome {
    Close,    // the data is not text: the page closes, nothing else happens
    Failed,   // a non-zero "code": `failureText` is shown, the page closes
    Ignored,  // no account to read (not JSON, not an object, too long, "data" missing or not an
              // object): nothing happens, the page stays open
    Account,  // an account signed in: `token`, `userInfo`, `verified`
  };

  Outcome outcome = Outcome::Ignored;
  std::string failureText;           // Failed: "info" as text (other kinds as their JSON)
  std::optional<std::string> token;  // Account: "auto_login_token" when it is text
  JVX_USER_INFO userInfo;            // Account: the fields by the model's rules, else empty
  bool verified = false;             // Account: "real_name_verification" reads as 1

  // `data` as the page sent it: text holding one JSON object {"code", "info", "data"}. A "code"
  // that is absent reads as 0; numbers, booleans and numeric text count by their integer value.
  static ThirdLoginMessage read(const nlohmann::json& data);
};
