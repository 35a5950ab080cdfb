// Control messages of the tunnel daemon: requests and daemon messages from a peer socket.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/netext/ControlMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  platform::netext::ControlError error;
  if (auto request = platform::netext::decodeRequest(bytes, &error)) {
    // What decodes must encode and decode again to the same request.
    auto again = platform::netext::decodeRequest(platform::netext::encodeRequest(*request));
    if (!again || again->data != request->data || again->reason != request->reason)
      __builtin_trap();
  }
  if (auto message = platform::netext::decodeDaemonMessage(bytes, &error)) {
    (void)platform::netext::encodeDaemonMessage(*message);
  }
  return 0;
}
