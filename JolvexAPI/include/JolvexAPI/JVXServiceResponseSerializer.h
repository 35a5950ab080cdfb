#pragma once
// Answer side of the AES envelope: the whole body is base64 AES ciphertext of a JSON object.
#include "Tovra/REST/TQSerializers.h"

// Text of the local-domain error for an answer that does not open.
inline constexpr const char* kJVXDecryptFailedText = "解密失败";
// Text of the local-domain error for plaintext that is not a JSON object or list.
inline constexpr const char* kJVXNotJSONText = "Answer is not valid JSON";

class JVXServiceResponseSerializer : public tq::TQResponseSerializer {
 public:
  // Status and content type are not examined: the whole body is the envelope.
  TQError decode(const tq::HttpResponse& response, nlohmann::json& out) const override;
};
