// Simulated control: tests play the client (connect, options, disconnect) and read the records.
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/kern/kern.h"
#include "platform/kern/sim.h"

namespace platform::kern {

struct ctl_opaque {
  kern_ctl_reg reg;
  std::string name;
};

namespace {

struct Conn {
  void* unitinfo = nullptr;
};

struct CtlState {
  std::mutex m;
  ctl_opaque* ctl = nullptr;
  bool fail_register = false;
  bool full = false;
  uint32_t next_unit = 1;
  std::map<uint32_t, Conn> conns;
  std::vector<sim::Record> records;
};

CtlState& st() {
  static CtlState s;
  return s;
}

// What a client call needs of a live connection, copied under the lock so the
// extension's callback runs without it (the callback may enqueue data).
struct Bound {
  ctl_opaque* ctl;
  kern_ctl_reg reg;
  void* info;
};

bool bind_conn(uint32_t unit, Bound& b) {
  auto& s = st();
  std::lock_guard g(s.m);
  auto it = s.conns.find(unit);
  if (!s.ctl || it == s.conns.end()) return false;
  b = Bound{s.ctl, s.ctl->reg, it->second.unitinfo};
  return true;
}

}  // namespace

errno_t ctl_register(const kern_ctl_reg* reg, kern_ctl_ref* ref) {
  auto& s = st();
  std::lock_guard g(s.m);
  if (s.fail_register) return ENOMEM;
  if (s.ctl) return EEXIST;
  s.ctl = new ctl_opaque{*reg, reg->ctl_name ? reg->ctl_name : ""};
  s.ctl->reg.ctl_name = s.ctl->name.c_str();
  *ref = s.ctl;
  return 0;
}

errno_t ctl_deregister(kern_ctl_ref ref) {
  auto& s = st();
  std::lock_guard g(s.m);
  if (!ref || ref != s.ctl) return EINVAL;
  if (!s.conns.empty()) return EBUSY;
  delete s.ctl;
  s.ctl = nullptr;
  return 0;
}

errno_t ctl_enqueuedata(kern_ctl_ref ref, uint32_t unit, const void* data, size_t len, int) {
  auto& s = st();
  std::lock_guard g(s.m);
  if (!ref || ref != s.ctl || !s.conns.count(unit)) return EINVAL;
  if (s.full) return ENOBUFS;
  auto* p = static_cast<const uint8_t*>(data);
  s.records.push_back({unit, std::vector<uint8_t>(p, p + len)});
  return 0;
}

namespace sim {

void fail_ctl_register(bool on) {
  std::lock_guard g(st().m);
  st().fail_register = on;
}

bool ctl_registered() {
  std::lock_guard g(st().m);
  return st().ctl != nullptr;
}

errno_t ctl_connect(uint32_t* unit) {
  auto& s = st();
  kern_ctl_reg reg;
  ctl_opaque* ctl;
  sockaddr_ctl sac{};
  {
    std::lock_guard g(s.m);
    if (!s.ctl) return ENOENT;
    ctl = s.ctl;
    reg = ctl->reg;
    sac.sc_unit = s.next_unit++;
  }
  void* info = nullptr;
  errno_t r = reg.ctl_connect ? reg.ctl_connect(ctl, &sac, &info) : 0;
  if (r != 0) return r;
  std::lock_guard g(s.m);
  s.conns[sac.sc_unit] = Conn{info};
  if (unit) *unit = sac.sc_unit;
  return 0;
}

errno_t ctl_setopt(uint32_t unit, int opt, const void* data, size_t len) {
  Bound b;
  if (!bind_conn(unit, b)) return ENOTCONN;
  return b.reg.ctl_setopt ? b.reg.ctl_setopt(b.ctl, unit, b.info, opt, data, len) : ENOPROTOOPT;
}

errno_t ctl_getopt(uint32_t unit, int opt, void* data, size_t* len) {
  Bound b;
  if (!bind_conn(unit, b)) return ENOTCONN;
  return b.reg.ctl_getopt ? b.reg.ctl_getopt(b.ctl, unit, b.info, opt, data, len) : ENOPROTOOPT;
}

errno_t ctl_send(uint32_t unit, const void* data, size_t len) {
  Bound b;
  if (!bind_conn(unit, b)) return ENOTCONN;
  return b.reg.ctl_send ? b.reg.ctl_send(b.ctl, unit, b.info, data, len, 0) : 0;
}

void ctl_disconnect(uint32_t unit) {
  Bound b;
  if (!bind_conn(unit, b)) return;
  if (b.reg.ctl_disconnect) b.reg.ctl_disconnect(b.ctl, unit, b.info);
  std::lock_guard g(st().m);
  st().conns.erase(unit);
}

std::vector<Record> records() {
  std::lock_guard g(st().m);
  return st().records;
}

void clear_records() {
  std::lock_guard g(st().m);
  st().records.clear();
}

void set_enqueue_full(bool on) {
  std::lock_guard g(st().m);
  st().full = on;
}

void reset_net();
void reset_base();

void reset() {
  reset_net();
  auto& s = st();
  {
    std::lock_guard g(s.m);
    s.records.clear();
    s.full = false;
    s.fail_register = false;
    s.conns.clear();
    delete s.ctl;
    s.ctl = nullptr;
  }
  reset_base();
}

}  // namespace sim
}  // namespace platform::kern
