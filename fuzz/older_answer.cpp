// One answer body of the older service read by every sender: unscramble, parse, code handling.
// The first byte picks whether the rest is the raw body or a plain text scrambled first, so
// inputs reach the JSON reader as well as the envelope.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "PexaraAPI/PXACrypto.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Web/TsHttpHelper.h"

namespace {

void setUpOnce() {
  static bool done = [] {
    LOG::setConsoleSink([](const std::string&) {});
    char tmpl[] = "/tmp/older-answer-fuzz-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    std::string path = std::string(dir ? dir : "/tmp") + "/defaults.json";
    TsParamsDirectory::setStore(std::make_shared<platform::defaults::Store>(path));
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setUpOnce();
  if (size == 0) return 0;
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string body = (data[0] & 1) ? PXACrypto::encryptedStringOfString(rest) : rest;
  using Sender = TsHttpHelper::Sender;
  for (Sender s : {Sender::Post, Sender::PostJson, Sender::PostLog, Sender::AsynPost}) {
    TQError error;
    auto answer = TsHttpHelper::readAnswer(s, "http://fuzz/q5client/x", "a=1", body, &error);
    // Exactly one of an answer object or an error.
    if (answer.has_value() == !error.empty() && s != Sender::PostLog) std::abort();
    if (answer && !answer->is_object()) std::abort();
  }
  return 0;
}
