// Type-400 frame build and parse against a plain copy of the same bytes, both allocating and
// into a buffer allocated once; prints the ratios.
// GCC 12 misreads the copy bounds in the timing loop (a known false positive at -O2).
#pragma GCC diagnostic ignored "-Wstringop-overflow"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Galvent/Tunnel/Base/Q5Protocol.h"

namespace {
std::vector<uint8_t> ipPacket(size_t n) {
  std::vector<uint8_t> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 7);
  return p;
}

void BM_Copy(benchmark::State& state) {
  auto packet = ipPacket(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    // The same allocation and byte count a frame costs, without the header work.
    std::vector<uint8_t> out(Q5Protocol::kHeaderSize + Q5Protocol::kIPPacketHeaderSize +
                             packet.size());
    std::copy(packet.begin(), packet.end(), out.begin() + 41);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_BuildParse(benchmark::State& state) {
  auto packet = ipPacket(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto frame = Q5Protocol::IPPacketWithExit("3-7", 0x3344, 0x1122, 42, 1, "203.0.113.9", packet);
    auto type = Q5Protocol::lookupTypeWithPacket(*frame);
    auto body = Q5Protocol::unwrapDataWithPacket(*frame);
    benchmark::DoNotOptimize(type);
    benchmark::DoNotOptimize(body);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The same bytes copied into a buffer allocated once, as a frame sent from a reused buffer.
void BM_CopyInto(benchmark::State& state) {
  auto packet = ipPacket(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(2048);
  for (auto _ : state) {
    std::memcpy(out.data() + 41, packet.data(), packet.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The path's header built once; each frame encoded into the reused buffer and parsed back.
void BM_EncodeParse(benchmark::State& state) {
  auto packet = ipPacket(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(2048);
  auto header = *Q5Protocol::IPPacketHeaderWithExit("3-7", 0x3344, 0x1122, 42, 1, "203.0.113.9");
  for (auto _ : state) {
    size_t n = Q5Protocol::encodeIPPacket(out, header, packet);
    auto frame = std::span<const uint8_t>(out.data(), n);
    auto type = Q5Protocol::lookupTypeWithPacket(frame);
    auto body = Q5Protocol::unwrapDataWithPacket(frame);
    benchmark::DoNotOptimize(type);
    benchmark::DoNotOptimize(body);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Copy)->Arg(60)->Arg(1400);
BENCHMARK(BM_BuildParse)->Arg(60)->Arg(1400);
BENCHMARK(BM_CopyInto)->Arg(60)->Arg(1400);
BENCHMARK(BM_EncodeParse)->Arg(60)->Arg(1400);

// Times both loops once more outside the framework so the ratio comes from one run.
enum class Loop { kCopy, kCodec, kCopyInto, kEncodeInto };

double nsPerOp(Loop loop, size_t size) {
  auto packet = ipPacket(size);
  std::vector<uint8_t> reused(2048);
  auto header = *Q5Protocol::IPPacketHeaderWithExit("3-7", 1, 2, 42, 1, "203.0.113.9");
  constexpr int kRounds = 200000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    switch (loop) {
      case Loop::kCodec: {
        auto frame = Q5Protocol::IPPacketWithExit("3-7", 1, 2, 42, 1, "203.0.113.9", packet);
        auto body = Q5Protocol::unwrapDataWithPacket(*frame);
        benchmark::DoNotOptimize(body);
        break;
      }
      case Loop::kCopy: {
        std::vector<uint8_t> out(41 + packet.size());
        std::copy(packet.begin(), packet.end(), out.begin() + 41);
        benchmark::DoNotOptimize(out.data());
        break;
      }
      case Loop::kEncodeInto: {
        size_t n = Q5Protocol::encodeIPPacket(reused, header, packet);
        auto body = Q5Protocol::unwrapDataWithPacket(std::span<const uint8_t>(reused.data(), n));
        benchmark::DoNotOptimize(body);
        break;
      }
      case Loop::kCopyInto:
        std::memcpy(reused.data() + 41, packet.data(), packet.size());
        benchmark::DoNotOptimize(reused.data());
        break;
    }
    benchmark::ClobberMemory();
  }
  std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - start;
  return d.count() / kRounds;
}
}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (size_t size : {size_t{60}, size_t{1400}}) {
    double copy = nsPerOp(Loop::kCopy, size), codec = nsPerOp(Loop::kCodec, size);
    std::printf("frame_codec ratio (build+parse / copy), %zu-byte packet: %.2f\n", size,
                codec / copy);
    double into = nsPerOp(Loop::kCopyInto, size), encode = nsPerOp(Loop::kEncodeInto, size);
    std::printf(
        "frame_codec speed of encode+parse into a reused buffer / memcpy into it, %zu-byte "
        "packet: %.2fx\n",
        size, into / encode);
  }
  return 0;
}
