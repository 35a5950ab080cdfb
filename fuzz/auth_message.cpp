// Messages of the privileged runner's channel, both directions.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/auth/Authorization.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string frame(reinterpret_cast<const char*>(data), size);
  std::string cwd, tool;
  std::vector<std::string> args;
  platform::auth::wire::Mode mode;
  if (platform::auth::wire::decodeRequest(frame, &cwd, &tool, &args, &mode) &&
      platform::auth::wire::encodeRequest(cwd, tool, args, mode) != frame)
    __builtin_trap();
  platform::auth::RunResult r;
  platform::auth::wire::decodeReply(frame, &r);
  return 0;
}
