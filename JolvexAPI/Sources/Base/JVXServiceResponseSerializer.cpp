#include "JolvexAPI/JVXServiceResponseSerializer.h"

#include "JolvexAPI/JVXCrypto.h"
#include "Tovra/Base/TQAPIModel.h"

TQError JVXServiceResponseSerializer::decode(const tq::HttpResponse& response,
                                             nlohmann::json& out) const {
  out = nullptr;
  auto plain = JVXCrypto::decryptedDataFromData(response.body);
  if (!plain || plain->empty() || *plain == " ")
    return TQError{TQAPILocalErrorDomain, 0, kJVXDecryptFailedText, std::nullopt};
  // Plaintext that is not a JSON object or list fails the call rather than succeeding with
  // nothing mapped.
  if (!tq::parseJSON(*plain, out)) {
    out = nullptr;
    return TQError{TQAPILocalErrorDomain, 0, kJVXNotJSONText, std::nullopt};
  }
  return {};
}
