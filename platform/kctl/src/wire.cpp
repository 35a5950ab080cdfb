#include "platform/kctl/wire.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform::kctl::wire {

int parse_hello(const void* data, size_t size, int fds, Hello* out) {
  if (!data || size != sizeof(Hello) || fds != 1) return EPROTO;
  Hello h;
  std::memcpy(&h, data, sizeof h);
  if (std::memcmp(h.magic, kMagic, 4) != 0 || h.version != kVersion) return EPROTO;
  if (h.flags & ~kHelloProbe) return EPROTO;
  *out = h;
  return 0;
}

int parse_request(const void* data, size_t size, OptionRequest* out, const uint8_t** payload) {
  if (!data || size < sizeof(OptionRequest)) return EPROTO;
  OptionRequest r;
  std::memcpy(&r, data, sizeof r);
  if (r.op != kOpSet && r.op != kOpGet) return EPROTO;
  if (r.len > kMaxOptionLen || size - sizeof r != r.len) return EPROTO;
  *out = r;
  *payload = static_cast<const uint8_t*>(data) + sizeof r;
  return 0;
}

std::string run_dir() {
  const char* env = std::getenv("TAMSEL_RUN_DIR");
  return env && *env ? env : "/run/tamsel";
}

std::string socket_path(const std::string& run, const std::string& name) {
  return run + "/" + name + ".sock";
}

std::string admin_path(const std::string& run, const std::string& name) {
  return run + "/" + name + ".admin";
}

}  // namespace platform::kctl::wire
