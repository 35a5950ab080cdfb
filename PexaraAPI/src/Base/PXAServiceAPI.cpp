#include "PexaraAPI/PXAServiceAPI.h"

#include "Tovra/Base/TQAPIModel.h"
#include "Tovra/Base/TQRedact.h"

nlohmann::json PXAServiceAPI::unwrapRespData(const nlohmann::json& answer) {
  respMessage_.reset();
  if (!answer.is_object()) return nullptr;
  if (auto msg = answer.find("msg"); msg != answer.end()) {
    if (msg->is_string()) {
      respMessage_ = msg->get<std::string>();
    } else {
      respMessage_ = tq::dumpJSON(*msg);
    }
  }
  if (auto result = answer.find("result"); result != answer.end()) return *result;
  if (auto data = answer.find("data"); data != answer.end()) return *data;
  return nullptr;
}

std::string PXAServiceAPI::encodedPostDataString() const { return "info=***"; }

std::string PXAServiceAPI::description() const {
  std::string text = "\n-------------------------- \n";
  text += "<" + className() + " status: " + statusName(status()) + " > \n";
  if (auto req = reqDictionary()) {
    text += "req: " + tq::dumpJSON(tq::redacted(*req, tq::Side::Request)) + "\n";
  }
  if (hasResp()) {
    text += "resp: " + tq::dumpJSON(tq::redacted(respDictionary(), tq::Side::Answer)) + "\n";
  }
  if (!url().empty()) text += curlCommandLineString();
  text += "\n--------------------------";
  return text;
}

void PXAServiceAPI::resetForSend() {
  TQRestAPI::resetForSend();
  respMessage_.reset();
}
