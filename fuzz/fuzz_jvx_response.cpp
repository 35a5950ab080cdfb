// Answer bodies of the account service: the envelope decode, then answer handling into calls
// that answer JVX_USER_INFO and JVX_SPEED_START_INFO, pop-up included. The input is tried both
// as the body itself and as the plaintext of an enciphered body, so the JSON side is reached.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "JolvexAPI/JolvexAPI.h"

namespace {

void handle(const std::string& body) {
  tq::HttpResponse response;
  response.status = 200;
  response.body = body;
  nlohmann::json answer;
  if (JVXServiceResponseSerializer().decode(response, answer)) return;
  auto profile = std::make_shared<JVX_API_USER_PROFILE>();
  profile->handleRespData(answer);
  (void)profile->popInfo();
  auto rules = std::make_shared<JVX_API_RULE_LIST>();
  rules->handleRespData(answer);
  if (rules->resp()) (void)tq::toJSON(*rules->resp());
  (void)rules->description();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  handle(input);
  handle(JVXCrypto::encryptedStringOfString(input));
  return 0;
}
