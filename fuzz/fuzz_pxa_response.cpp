// Answer bodies of the game service, from the wire to the call: the response envelope, then the
// answer handling of a call with a model answer (start list), a call with a list answer
// (notices) and a call without one; and the rule file read as a model.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "PexaraAPI/PexaraAPI.h"

namespace {

template <class C>
void handle(const nlohmann::json& answer, bool autoMap) {
  auto call = std::make_shared<C>();
  call->setAutoSerializingResp(autoMap);
  call->handleRespData(answer);
  (void)call->description();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First byte picks the HTTP status (0 = none), the rest is the body.
  static const long kStatuses[] = {0, 200, 404, 500};
  long status = size > 0 ? kStatuses[data[0] % 4] : 200;
  std::string body(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0),
                   size > 0 ? size - 1 : 0);

  // The body as it arrives scrambled, and as the plaintext a scrambled body would carry.
  for (const std::string& wire : {body, PXACrypto::encryptedStringOfString(body)}) {
    tq::HttpResponse response;
    response.status = status;
    response.body = wire;
    nlohmann::json answer;
    TQError error = PXAResponseSerializer().decode(response, answer);
    if (error) continue;
    handle<PXA_API_START_LIST>(answer, true);
    handle<PXA_API_MOBILE_NOTICE_NORMAL>(answer, true);
    handle<PXA_API_USER_HEARTBEAT>(answer, false);
  }
  (void)tq::fromJSON<PXA_SPEED_START_CACHE_FILE>(body);
  return 0;
}
