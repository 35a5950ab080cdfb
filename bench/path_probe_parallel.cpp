// Measuring 32 paths against measuring 1: the probes run side by side, so the time of a round
// should not grow with the number of paths (ratio about 1). Each path's entrance is a port of the
// stand-in relay on loopback that answers its probe after a fixed 50 ms.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Speed/TsPathService.h"
#include "gelmora/Service/Tools/LOG.h"
#include "standin/relay/Relay.h"

namespace {

constexpr auto kAnswerDelay = std::chrono::milliseconds(50);

struct Bed {
  standin::relay::Relay relay;
  std::vector<uint16_t> ports;

  explicit Bed(int n) {
    standin::relay::Switches late;
    late.delay = kAnswerDelay;
    for (int i = 0; i < n; ++i) {
      ports.push_back(relay.addEndpoint("127.0.0.1"));
      relay.setSwitches("127.0.0.1", ports.back(), late);
    }
  }

  // One measuring round over every port; the report goes nowhere.
  void round() const {
    TsPathService service;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      EntranceServer e;
      e.setIp("127.0.0.1");
      e.setPort(ports[i]);
      ExitServer x;
      x.setAddr("1-" + std::to_string(i + 1));
      x.setNat("MTAuMC4wLjE=");
      x.setFlowGroupId(2);
      service.addPath(e, x);
    }
    service.VelocityMeasurement();
    benchmark::DoNotOptimize(service.pathArray().data());
  }
};

void setUp() {
  LOG::setConsoleSink([](const std::string&) {});
  TsPathService::setHooks({.probe = {}, .report = [](const std::string&, const std::string&) {}});
}

void BM_Measure(benchmark::State& state) {
  Bed bed(static_cast<int>(state.range(0)));
  for (auto _ : state) bed.round();
  state.counters["paths"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_Measure)->Arg(1)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime();

double msPerRound(int paths) {
  Bed bed(paths);
  constexpr int kRounds = 10;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) bed.round();
  std::chrono::duration<double, std::milli> d = std::chrono::steady_clock::now() - start;
  return d.count() / kRounds;
}

}  // namespace

int main(int argc, char** argv) {
  setUp();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double one = msPerRound(1), many = msPerRound(32);
  std::printf("path_probe_parallel: 1 path %.1f ms, 32 paths %.1f ms, ratio (32 / 1) %.2f\n", one,
              many, many / one);
  return 0;
}
