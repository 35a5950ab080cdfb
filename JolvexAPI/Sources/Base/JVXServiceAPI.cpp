#include "JolvexAPI/JVXServiceAPI.h"

#include "JolvexAPI/JVXServiceEngine.h"
#include "Tovra/Base/TQAPIModel.h"
#include "Tovra/Base/TQRedact.h"

TQAPIEngine& JVXServiceAPI::engine() { return JVXServiceEngine::sharedEngine(); }

nlohmann::json JVXServiceAPI::popInfo() const {
  return popInfo_ ? tq::toDictionary(*popInfo_) : nlohmann::json();
}

nlohmann::json JVXServiceAPI::unwrapRespData(const nlohmann::json& answer) {
  nlohmann::json payload;
  if (answer.is_object()) {
    auto data = answer.find("data");
    if (data != answer.end()) {
      payload = *data;
    } else if (auto result = answer.find("result"); result != answer.end()) {
      payload = *result;
    }
  }
  // A dictionary payload gives a pop-up model (empty when it carries no pop keys); a list, a
  // scalar, no payload or one whose pop keys do not map give none.
  popInfo_ = payload.is_object() ? tq::fromDictionary<JVXRespPopModel>(payload) : std::nullopt;
  return payload;
}

std::string JVXServiceAPI::encodedPostDataString() const {
  // The enciphered "info" is a secret of the request: only its place is shown.
  return "info=***&mobile=mobile";
}

std::string JVXServiceAPI::description() const {
  std::string d = "\n-------------------------- \n";
  d += "<" + className() + " status: " + statusName(status()) + " > \n";
  if (auto r = reqDictionary()) d += "req: " + tq::dumpJSON(tq::redacted(*r)) + "\n";
  if (hasResp())
    d += "resp: " + tq::dumpJSON(tq::redacted(respDictionary(), tq::Side::Answer)) + "\n";
  if (!url().empty()) d += curlCommandLineString();
  d += "\n--------------------------";
  return d;
}

void JVXServiceAPI::resetForSend() {
  TQRestAPI::resetForSend();
  popInfo_.reset();
}
