// Per-packet classification cost: session extraction plus black/white matching of a mixed
// packet set, with 100 and with 10,000 white rules, through the rule index and through the
// plain in-order walk. Prints the cost ratios.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Brevant/Brevant.h"
#include "Brevant/Packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ipv4(uint32_t src, uint32_t dst, uint8_t proto, const Bytes& payload) {
  Bytes p(20 + payload.size(), 0);
  p[0] = 0x45;
  brevant::write_be16(p.data() + 2, static_cast<uint16_t>(p.size()));
  p[8] = 64;
  p[9] = proto;
  brevant::write_be32(p.data() + 12, src);
  brevant::write_be32(p.data() + 16, dst);
  std::copy(payload.begin(), payload.end(), p.begin() + 20);
  brevant::update_checksums(p);
  return p;
}

Bytes udp(uint32_t dst, uint16_t port, Bytes data) {
  Bytes u(8, 0);
  brevant::write_be16(u.data(), 40000);
  brevant::write_be16(u.data() + 2, port);
  brevant::write_be16(u.data() + 4, static_cast<uint16_t>(8 + data.size()));
  u.insert(u.end(), data.begin(), data.end());
  return ipv4(0x0A000002, dst, 17, u);
}

Bytes dns_query(const std::string& name) {
  Bytes m = {0, 7, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    m.push_back(static_cast<uint8_t>(dot - start));
    m.insert(m.end(), name.begin() + static_cast<long>(start),
             name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  m.insert(m.end(), {0, 0, 1, 0, 1});
  return m;
}

std::vector<Bytes> packet_mix() {
  std::vector<Bytes> mix;
  for (uint32_t i = 0; i < 16; ++i) {
    uint32_t dst = 0xCB007100 + i;  // 203.0.113.x, some of them learned
    mix.push_back(udp(dst, static_cast<uint16_t>(27000 + i), Bytes(64, 1)));
    Bytes tcp(20, 0);
    brevant::write_be16(tcp.data(), 40001);
    brevant::write_be16(tcp.data() + 2, 443);
    tcp[12] = 0x50;
    mix.push_back(ipv4(0x0A000002, 0xC6336400 + i, 6, tcp));
  }
  mix.push_back(udp(0xC6120001, 53, dns_query("login.game.example")));
  mix.push_back(udp(0xC6120001, 53, dns_query("www.other.example")));
  mix.push_back(ipv4(0x0A000002, 0x08080808, 1, Bytes{8, 0, 0, 0, 0, 1, 0, 1}));
  return mix;
}

// Rules that mostly miss the mix, so matching walks far down the list; the last-tried
// rule matches the game's UDP port range.
brevant::RuleSet rules_of(size_t count) {
  brevant::RuleSet rules;
  auto game = brevant::init_all_matched_traffic_rule();
  game.protocol = brevant::kProtoUDP;
  game.port_low = 27000;
  game.port_high = 27015;
  brevant::add_white_rule(rules, game);
  for (size_t i = 1; i < count; ++i) {
    auto r = brevant::init_all_matched_traffic_rule();
    switch (i % 3) {
      case 0:
        r.domain = "svc" + std::to_string(i) + ".example";
        break;
      case 1:
        r.range = {0x64000000u + static_cast<uint32_t>(i) * 256,
                   0x64000000u + static_cast<uint32_t>(i) * 256 + 255};
        break;
      default:
        r.protocol = brevant::kProtoTCP;
        r.port_low = r.port_high = static_cast<uint16_t>(1000 + i % 60000);
        r.areas = {static_cast<uint16_t>(i % 500)};
    }
    brevant::add_white_rule(rules, r);
  }
  auto black = brevant::init_all_matched_traffic_rule();
  black.domain = "blocked.example";
  brevant::add_black_rule(rules, black);
  return rules;
}

template <bool kIndexed>
void classify(benchmark::State& state) {
  const auto rules = rules_of(static_cast<size_t>(state.range(0)));
  const auto mix = packet_mix();
  brevant::DomainTable domains;
  for (uint32_t i = 0; i < 16; i += 2) domains.record(0xCB007100 + i, "eu.game.example");
  size_t white = 0;
  for (auto _ : state) {
    for (const Bytes& p : mix) {
      brevant::ip_session_info s;
      brevant::get_ip_session_info(&domains, s, p, brevant::kDirectionOutgoing);
      brevant::traffic_rule matched;
      if constexpr (kIndexed) {
        if (!brevant::is_session_match_black_rule(rules, s, &matched) &&
            brevant::is_session_match_white_rule(rules, s, &matched))
          ++white;
      } else {
        if (!brevant::first_match_walk(rules.black_rules(), s, &matched) &&
            brevant::first_match_walk(rules.white_rules(), s, &matched))
          ++white;
      }
    }
  }
  benchmark::DoNotOptimize(white);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * mix.size()));
}
void BM_Classify(benchmark::State& state) { classify<true>(state); }
// The in-order walk over every rule, which the index replaces.
void BM_ClassifyWalk(benchmark::State& state) { classify<false>(state); }
BENCHMARK(BM_Classify)->Arg(100)->Arg(10000);
BENCHMARK(BM_ClassifyWalk)->Arg(100)->Arg(10000);

// Keeps the time per iteration of each run so the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> per_iteration;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.iterations > 0) per_iteration[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* name, const char* what) {
    auto small = reporter.per_iteration.find(std::string(name) + "/100");
    auto large = reporter.per_iteration.find(std::string(name) + "/10000");
    if (small != reporter.per_iteration.end() && large != reporter.per_iteration.end() &&
        small->second > 0)
      std::printf("rule_classify: %s: 10000 rules cost %.1fx of 100 rules per packet\n", what,
                  large->second / small->second);
  };
  ratio("BM_Classify", "index");
  ratio("BM_ClassifyWalk", "plain walk");
  auto indexed = reporter.per_iteration.find("BM_Classify/10000");
  auto walked = reporter.per_iteration.find("BM_ClassifyWalk/10000");
  if (indexed != reporter.per_iteration.end() && walked != reporter.per_iteration.end() &&
      indexed->second > 0)
    std::printf("rule_classify: at 10000 rules the index is %.1fx faster than the walk\n",
                walked->second / indexed->second);
  benchmark::Shutdown();
  return 0;
}
