#pragma once
// Request envelope of the game service: the parameters in form encoding, scrambled, sent as the
// one form field "info".
#include "Tovra/REST/TQSerializers.h"

class PXARequestSerializer : public tq::TQRequestSerializer {
 public:
  TQError serialize(const std::string& method, const std::string& url, const nlohmann::json& params,
                    tq::HttpRequest& out) const override;

  // The form body for the parameters: "info=" and the escaped scrambled query string.
  static std::string formBody(const nlohmann::json& params);
};
