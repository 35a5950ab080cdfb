// Messages of the control transport between the filter's daemon and its client. The client
// connects a SOCK_SEQPACKET socket (records arrive there, one message each) and passes, with its
// hello, one end of a socket pair on which options travel as request and reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::kctl::wire {

inline constexpr char kMagic[4] = {'T', 'K', 'C', '1'};
inline constexpr uint32_t kVersion = 1;
// A probe only asks whether the control is there: nothing attaches.
inline constexpr uint32_t kHelloProbe = 1u << 0;

struct Hello {
  char magic[4];
  uint32_t version;
  uint32_t unit;
  uint32_t flags;
};
static_assert(sizeof(Hello) == 16);

struct HelloReply {
  int32_t result;
  uint32_t unit;
};
static_assert(sizeof(HelloReply) == 8);

enum : uint32_t { kOpSet = 1, kOpGet = 2 };
inline constexpr int32_t kLevel = 2;
inline constexpr uint32_t kMaxOptionLen = 65536;

struct OptionRequest {
  uint32_t op;
  int32_t level;
  int32_t name;
  uint32_t len;
};
static_assert(sizeof(OptionRequest) == 16);

struct OptionReply {
  int32_t err;
  uint32_t len;
};
static_assert(sizeof(OptionReply) == 8);

// Checks a hello message and the number of descriptors that came with it: 0 or EPROTO.
int parse_hello(const void* data, size_t size, int fds, Hello* out);
// Checks a request; on success *payload points at its len bytes inside data. 0 or EPROTO.
int parse_request(const void* data, size_t size, OptionRequest* out, const uint8_t** payload);

// The run folder: $TAMSEL_RUN_DIR, else /run/tamsel.
std::string run_dir();
// <run>/<name>.sock and <run>/<name>.admin
std::string socket_path(const std::string& run, const std::string& name);
std::string admin_path(const std::string& run, const std::string& name);

}  // namespace platform::kctl::wire
