// Base group shared by both back ends: clock, kernel log, allocation, mutexes with a lock-order
// checker, packet buffers. The simulation switches the clock to virtual time and injects faults.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/kern/kern.h"
#include "platform/kern/sim.h"

namespace platform::kern {

struct lck_grp {
  std::string name;
};

struct lck_mtx {
  std::mutex m;
  std::string name;
};

struct mbuf {
  std::vector<uint8_t> bytes;
  size_t len = 0;
  bool modified = false;
};

namespace {

struct BaseState {
  std::mutex m;
  bool virtual_time = false;
  int64_t sec = 1'700'000'000;
  int64_t usec = 0;
  std::function<void(const std::string&)> sink;
  std::vector<std::string> lines;
  int fail_alloc = -1;
  std::vector<std::pair<std::string, std::string>> nesting{
      {"lock_mutext_white_rule_list", "lock_mutext_black_rule_list"}};
  std::vector<std::string> violations;
  int live_mutexes = 0;
  std::function<void()> delay_hook;
};

BaseState& base() {
  static BaseState s;
  return s;
}

// Plain arrays: usable from exit handlers after thread-local objects are gone.
constexpr int kMaxHeld = 16;
thread_local lck_mtx* t_held[kMaxHeld];
thread_local int t_nheld = 0;

// True when this allocation is the one chosen to fail.
bool alloc_fails() {
  auto& b = base();
  std::lock_guard g(b.m);
  if (b.fail_alloc < 0) return false;
  if (b.fail_alloc == 0) {
    b.fail_alloc = -1;
    return true;
  }
  --b.fail_alloc;
  return false;
}

void note_violation(const std::string& text) {
  auto& b = base();
  std::lock_guard g(b.m);
  b.violations.push_back(text);
}

}  // namespace

void microtime(struct timeval* tv) {
  auto& b = base();
  {
    std::lock_guard g(b.m);
    if (b.virtual_time) {
      tv->tv_sec = b.sec;
      tv->tv_usec = b.usec;
      return;
    }
  }
  gettimeofday(tv, nullptr);
}

void delay_us(uint32_t usec) {
  auto& b = base();
  std::function<void()> hook;
  bool virt;
  {
    std::lock_guard g(b.m);
    virt = b.virtual_time;
    if (virt) {
      b.usec += usec;
      b.sec += b.usec / 1'000'000;
      b.usec %= 1'000'000;
    }
    hook = b.delay_hook;
  }
  if (!virt) std::this_thread::sleep_for(std::chrono::microseconds(usec));
  if (hook) hook();
}

void kern_log_line(const char* line) {
  auto& b = base();
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard g(b.m);
    sink = b.sink;
    // Kept for tests only when nobody takes the lines: a daemon's log must not grow in memory.
    if (!sink) {
      b.lines.emplace_back(line);
      if (b.lines.size() > 100000) b.lines.erase(b.lines.begin(), b.lines.begin() + 50000);
    }
  }
  if (sink) sink(line);
}

void* kalloc(size_t size) {
  if (alloc_fails()) return nullptr;
  return std::calloc(1, size == 0 ? 1 : size);
}

void kfree(void* p) { std::free(p); }

lck_grp* lck_grp_alloc(const char* name) {
  if (alloc_fails()) return nullptr;
  return new lck_grp{name ? name : ""};
}

void lck_grp_free(lck_grp* grp) { delete grp; }

lck_mtx* lck_mtx_alloc(lck_grp* grp, const char* name) {
  if (!grp || alloc_fails()) return nullptr;
  auto* m = new lck_mtx;
  m->name = name ? name : "";
  std::lock_guard g(base().m);
  ++base().live_mutexes;
  return m;
}

void lck_mtx_free(lck_mtx* mtx, lck_grp*) {
  if (!mtx) return;
  {
    std::lock_guard g(base().m);
    --base().live_mutexes;
  }
  delete mtx;
}

void lck_mtx_lock(lck_mtx* mtx) {
  for (int i = 0; i < t_nheld; ++i) {
    if (t_held[i] == mtx) {
      // Taking a held mutex again would hang forever: stop here with a clear message.
      std::fprintf(stderr, "kern: mutex %s locked twice by one thread\n", mtx->name.c_str());
      std::abort();
    }
  }
  if (t_nheld > 0) {
    bool allowed = false;
    lck_mtx* outer_held = t_held[t_nheld - 1];
    if (t_nheld == 1) {
      std::lock_guard g(base().m);
      for (auto& [outer, inner] : base().nesting)
        if (outer == outer_held->name && inner == mtx->name) allowed = true;
    }
    if (!allowed) note_violation(outer_held->name + " held while taking " + mtx->name);
  }
  mtx->m.lock();
  if (t_nheld < kMaxHeld) t_held[t_nheld++] = mtx;
}

void lck_mtx_unlock(lck_mtx* mtx) {
  for (int i = t_nheld - 1; i >= 0; --i) {
    if (t_held[i] == mtx) {
      for (int j = i; j + 1 < t_nheld; ++j) t_held[j] = t_held[j + 1];
      --t_nheld;
      break;
    }
  }
  mtx->m.unlock();
}

errno_t mbuf_allocpacket(size_t len, mbuf_t* out) {
  *out = nullptr;
  if (alloc_fails()) return ENOMEM;
  auto* m = new mbuf;
  // Room behind the data, as a packet buffer has, so that a packet can grow a little.
  m->bytes.resize(len + 128);
  m->len = len;
  *out = m;
  return 0;
}

errno_t mbuf_alloc_count(size_t len, mbuf_t* out) {
  *out = nullptr;
  if (alloc_fails()) return ENOMEM;
  auto* m = new mbuf;
  m->len = len;
  *out = m;
  return 0;
}

void mbuf_freem(mbuf_t m) { delete m; }
uint8_t* mbuf_data(mbuf_t m) { return m->bytes.empty() ? nullptr : m->bytes.data(); }
size_t mbuf_len(mbuf_t m) { return m->len; }
size_t mbuf_capacity(mbuf_t m) { return m->bytes.size(); }

errno_t mbuf_setlen(mbuf_t m, size_t len) {
  if (len > m->bytes.size()) return EINVAL;
  m->len = len;
  return 0;
}

void mbuf_set_modified(mbuf_t m) { m->modified = true; }
bool mbuf_modified(mbuf_t m) { return m->modified; }
void mbuf_clear_csum_flags(mbuf_t) {}

namespace sim {

void use_virtual_time(bool on) {
  std::lock_guard g(base().m);
  base().virtual_time = on;
}

void set_time(int64_t sec, int64_t usec) {
  std::lock_guard g(base().m);
  base().sec = sec;
  base().usec = usec;
}

void advance_us(int64_t usec) {
  std::lock_guard g(base().m);
  auto& b = base();
  b.usec += usec;
  b.sec += b.usec / 1'000'000;
  b.usec %= 1'000'000;
}

void set_log_sink(std::function<void(const std::string&)> sink) {
  std::lock_guard g(base().m);
  base().sink = std::move(sink);
}

std::vector<std::string> log_lines() {
  std::lock_guard g(base().m);
  return base().lines;
}

void clear_log() {
  std::lock_guard g(base().m);
  base().lines.clear();
}

void fail_alloc_at(int n) {
  std::lock_guard g(base().m);
  base().fail_alloc = n;
}

void allow_nesting(const std::string& outer, const std::string& inner) {
  std::lock_guard g(base().m);
  base().nesting.emplace_back(outer, inner);
}

std::vector<std::string> lock_violations() {
  std::lock_guard g(base().m);
  return base().violations;
}

int live_mutexes() {
  std::lock_guard g(base().m);
  return base().live_mutexes;
}

void set_delay_hook(std::function<void()> hook) {
  std::lock_guard g(base().m);
  base().delay_hook = std::move(hook);
}

// Part of reset(): the base's own share.
void reset_base() {
  std::lock_guard g(base().m);
  auto& b = base();
  b.lines.clear();
  b.violations.clear();
  b.fail_alloc = -1;
  b.sec = 1'700'000'000;
  b.usec = 0;
}

}  // namespace sim
}  // namespace platform::kern
