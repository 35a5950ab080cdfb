// Cost of filling the filter's rule lists through its control options, as a hostile client
// would: white rules spread over every path offset (few process names, or a new name each),
// black rules and black process names. Prints wall time and heap growth per kind, and how
// many options were refused with ENOSPC once a list was full.
//
//   rule_insert [COUNT [KIND]]   (default 300000 of each kind; KIND: white, white-names,
//                                 black, black-names)

#include <malloc.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "platform/kern/sim.h"
#include "tamsel/kctl_abi.h"
#include "tamsel/tamsel.h"

namespace {

namespace sim = platform::kern::sim;
using Clock = std::chrono::steady_clock;

size_t heap_in_use() { return mallinfo2().uordblks; }

struct Step {
  const char* what;
  size_t tried = 0, refused = 0, other = 0;
  double seconds = 0;
  size_t heap = 0;
};

template <typename Fn>
Step run_step(const char* what, size_t count, Fn add) {
  Step s{what};
  size_t heap0 = heap_in_use();
  auto t0 = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    int r = add(i);
    ++s.tried;
    if (r == ENOSPC)
      ++s.refused;
    else if (r != 0)
      ++s.other;
  }
  s.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  size_t heap1 = heap_in_use();
  s.heap = heap1 > heap0 ? heap1 - heap0 : 0;
  return s;
}

void print(const Step& s) {
  std::printf("  %-20s %8zu options  %8zu ENOSPC  %3zu other  %9.3f s  %8.1f MB heap\n", s.what,
              s.tried, s.refused, s.other, s.seconds, static_cast<double>(s.heap) / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300000;
  std::string only = argc > 2 ? argv[2] : "";
  sim::reset();
  sim::use_virtual_time(true);
  sim::set_log_sink([](const std::string&) {});  // the daemon's log is not what is measured
  if (tamsel::tamsel_start() != 0) return 1;

  using namespace tamsel::abi;
  auto address = [](size_t i) {
    char a[32];
    std::snprintf(a, sizeof a, "10.%zu.%zu.%zu", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    return std::string(a);
  };
  auto white = [&](uint32_t unit, size_t i, size_t names) {
    white_rule_config c{};
    c.offset = static_cast<int32_t>(i % kPathOffsetCount);
    c.level = 1;
    std::snprintf(c.rule, sizeof c.rule, "p%zu|%s|%zu|udp", names ? i % names : i,
                  address(i).c_str(), 1 + i % 65535);
    return sim::ctl_setopt(unit, KCTL_ADD_WHITE_RULE, &c, sizeof c);
  };
  struct Kind {
    const char* name;
    std::function<int(uint32_t, size_t)> add;
  };
  const Kind kinds[] = {
      {"white", [&](uint32_t u, size_t i) { return white(u, i, 16); }},
      {"white-names", [&](uint32_t u, size_t i) { return white(u, i, 0); }},
      {"black",
       [&](uint32_t u, size_t i) {
         char rule[96];
         int n = std::snprintf(rule, sizeof rule, "q%zu|%s|%zu|tcp", i % 16, address(i).c_str(),
                               1 + i % 65535);
         return sim::ctl_setopt(u, KCTL_ADD_BLACK_RULE, rule, static_cast<size_t>(n));
       }},
      {"black-names",
       [&](uint32_t u, size_t i) {
         char name[24];
         int n = std::snprintf(name, sizeof name, "n%zu", i);
         return sim::ctl_setopt(u, KCTL_ADD_BLACK_PROCNAME, name, static_cast<size_t>(n));
       }},
  };
  std::printf("rule_insert: %zu options of each kind, each kind on an emptied filter\n", count);
  std::printf("  white: 16 process names, offsets 0..16 in turn; white-names: a new name each\n");
  for (const Kind& k : kinds) {
    if (!only.empty() && only != k.name) continue;
    uint32_t unit = 0;
    if (sim::ctl_connect(&unit) != 0) return 1;
    print(run_step(k.name, count, [&](size_t i) { return k.add(unit, i); }));
    auto t0 = Clock::now();
    sim::ctl_disconnect(unit);  // empties every list
    std::printf("  %-20s %9.3f s\n", "reset at disconnect",
                std::chrono::duration<double>(Clock::now() - t0).count());
  }
  tamsel::tamsel_stop();
  return 0;
}
