#pragma once
// Masks secrets before text reaches a log: passwords, tokens, codes and receipts, at any depth.
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tq {

// Which side the text comes from: in requests "code" (a verification code) and "info" (the
// enciphered payload) are secret too; in answers they are the service's error code and text.
enum class Side { Request, Answer };

// True for the keys whose values are secret on that side.
bool isSecretKey(std::string_view key, Side side = Side::Request);
// A copy with every secret value, at any depth, replaced by "***".
nlohmann::json redacted(const nlohmann::json& value, Side side = Side::Request);
// The same for form text ("a=1&password=x"): secret values become "***".
std::string redactedForm(std::string_view form, Side side = Side::Request);
// JSON text when it parses (masked and dumped again), else form text.
std::string redactedText(std::string_view text, Side side = Side::Request);

}  // namespace tq
