#include "Tovra/REST/TQRestAPI.h"

#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/Base/TQAPIModel.h"
#include "Tovra/Base/TQRedact.h"
#include "Tovra/REST/TQRestEngine.h"

TQRestAPI::TQRestAPI() = default;

TQAPIEngine& TQRestAPI::engine() { return TQRestEngine::sharedEngine(); }

bool TQRestAPI::prepareParams() {
  if (auto r = reqDictionary()) params_ = std::move(*r);
  return true;
}

void TQRestAPI::send() {
  if (!prepareParams()) {
    // Refused parameters fail with no error object; handlers cope with an empty lastError.
    resetForSend();
    doFailed();
    return;
  }
  TQAPI::send();
}

std::vector<TQError> TQRestAPI::parseResponseErrors(const nlohmann::json& answer) const {
  if (!answer.is_object()) return {};
  auto it = answer.find("code");
  long long code = it == answer.end() ? 0 : tq::integerValue(*it);
  if (code == 0) return {};
  auto text = [&](const char* key) -> std::optional<std::string> {
    auto f = answer.find(key);
    if (f == answer.end()) return std::nullopt;
    // Text as it is; anything else as its JSON text.
    return f->is_string() ? f->get<std::string>() : tq::dumpJSON(*f);
  };
  std::string description = text("info").value_or(text("msg").value_or(""));
  return {TQError{TQAPIServerErrorDomain, code, description, std::nullopt}};
}

nlohmann::json TQRestAPI::unwrapRespData(const nlohmann::json& answer) {
  if (!answer.is_object()) return nullptr;
  auto it = answer.find("data");
  return it == answer.end() ? nlohmann::json() : *it;
}

bool TQRestAPI::mapResp(const nlohmann::json&, TQError*) { return true; }

void TQRestAPI::handleRespData(const nlohmann::json& answer) {
  setRespData(answer);
  std::vector<TQError> errors = parseResponseErrors(answer);
  nlohmann::json payload = unwrapRespData(answer);
  if (autoSerializingResp_) {
    if ((payload.is_object() || payload.is_array()) && hasRespClass()) {
      TQError error;
      if (!mapResp(payload, &error)) errors.push_back(error);
    }
  } else {
    setRawResp(std::move(payload));
  }
  if (!errors.empty()) {
    for (auto& e : errors) mutableLastErrors().push_back(std::move(e));
    doFailed();
  } else {
    doSucceed();
  }
}

std::string TQRestAPI::encodedPostDataString() const {
  auto r = reqDictionary();
  return tq::dumpJSON(r ? *r : nlohmann::json::object());
}

std::string TQRestAPI::curlCommandLineString() const {
  std::string s = "curl -X " + method_;
  for (const auto& [k, v] : TQAPIConfig::sharedInstance().globalHeaders()) {
    std::string value = tq::isSecretKey(k) ? "***" : v;
    s += " -H '" + k + ": " + value + "'";
  }
  s += " '" + url_ + "'";
  if (method_ == "POST" || method_ == "PUT" || method_ == "PATCH") {
    s += " -d '" + tq::redactedText(encodedPostDataString()) + "'";
  }
  return s;
}
