#pragma once
// Response envelope of the game service: the whole body, whatever the HTTP status, is scrambled
// JSON. A body that does not unscramble fails the call with the HTTP status as its code.
#include <string>

#include "Tovra/REST/TQSerializers.h"

class PXAResponseSerializer : public tq::TQResponseSerializer {
 public:
  TQError decode(const tq::HttpResponse& response, nlohmann::json& out) const override;

  // "<status>: <standard reason phrase>" (an unknown status gets a generic phrase of its class).
  static std::string statusText(long status);
};
