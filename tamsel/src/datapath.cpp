// Tunnel data path: one kernel UDP socket per path offset towards its entrance server.
#include <cerrno>
#include <cstring>

#include "tamsel_internal.h"

namespace tamsel {

namespace {

struct server_socket_entry {
  k::socket_t so;
  uint32_t entrance_ip;
  int32_t asked;
  uint32_t exit;
  char exit_nat[24];
  uint32_t stream_limit;
};

struct vin_entry {
  int32_t offset;
  char entrance_ip[16];
  int32_t port;
};

server_socket_entry server_socket[abi::kPathOffsetCount];
vin_entry vin_buff[abi::kPathOffsetCount];

}  // namespace

errno_t set_vni_off_entry(const abi::vni_off_entry& e) {
  MutexHold hold(lock_mutext_server_socks);
  auto& v = vin_buff[e.offset];
  v.offset = e.offset;
  copy_text(v.entrance_ip, sizeof v.entrance_ip, e.entrance_ip, sizeof e.entrance_ip);
  v.port = e.port;
  return 0;
}

errno_t update_entrance_server(const abi::vni_off_entry& e) {
  MutexHold hold(lock_mutext_server_socks);
  auto& v = vin_buff[e.offset];
  v.offset = e.offset;
  copy_text(v.entrance_ip, sizeof v.entrance_ip, e.entrance_ip, sizeof e.entrance_ip);
  v.port = e.port;
  return 0;
}

void update_streamlimit(uint32_t limit) {
  MutexHold hold(lock_mutext_server_socks);
  for (auto& s : server_socket) s.stream_limit = limit;
}

void server_socks_clear() {
  MutexHold hold(lock_mutext_server_socks);
  for (auto& s : server_socket) {
    if (s.so) k::sock_close(s.so);
  }
  std::memset(server_socket, 0, sizeof server_socket);
}

size_t server_socket_count() {
  MutexHold hold(lock_mutext_server_socks);
  size_t n = 0;
  for (auto& s : server_socket) n += s.so != nullptr;
  return n;
}

}  // namespace tamsel
