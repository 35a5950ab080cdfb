#pragma once
// Request side of the AES envelope: the parameters as compact JSON, AES-enciphered and base64,
// sent as the form {"info": ..., "mobile": "mobile"}.
#include <string>

#include "Tovra/REST/TQSerializers.h"

class JVXServiceRequestSerializer : public tq::TQRequestSerializer {
 public:
  // The form body of the enciphered parameters ("info=...&mobile=mobile").
  static std::string formBody(const nlohmann::json& params);
  TQError serialize(const std::string& method, const std::string& url, const nlohmann::json& params,
                    tq::HttpRequest& out) const override;
};
