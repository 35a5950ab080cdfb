// The traffic filter's data path against plain UDP: round trips and windowed throughput of a UDP
// echo (a) over loopback, (b) to a server whose flow the filter queues and accepts (unlisted),
// (c) to a server whose flow it tunnels through the stand-in relay (listed). Needs root: it builds
// network namespaces and loads tamseld in one of them. Prints the ratios after the runs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "FilterClient.h"
#include "Scene.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWindow = 16;
constexpr int kWaitMs = 500;

struct Figures {
  double secondsPerRoundTrip = 0;
  double datagramsPerSecond = 0;
};
std::map<std::string, Figures> g_figures;
std::map<std::string, int> g_sockets;  // connected echo sockets by path name

int connectedSocket(const char* ip, int port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

bool receive(int fd, char* buf, size_t cap) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, kWaitMs) == 1 && ::recv(fd, buf, cap, 0) > 0;
}

// One echo round trip per iteration.
void RoundTrip(benchmark::State& state, const std::string& path) {
  int fd = g_sockets.at(path);
  char out[64] = "filter path round trip", in[2048];
  int64_t lost = 0;
  auto start = Clock::now();
  for (auto _ : state) {
    if (::send(fd, out, sizeof out, 0) < 0 || !receive(fd, in, sizeof in)) ++lost;
  }
  std::chrono::duration<double> took = Clock::now() - start;
  state.counters["lost"] = static_cast<double>(lost);
  g_figures[path].secondsPerRoundTrip = took.count() / static_cast<double>(state.iterations());
}

// kWindow datagrams in flight, then their echoes, per iteration.
void Throughput(benchmark::State& state, const std::string& path) {
  int fd = g_sockets.at(path);
  char out[512] = "filter path throughput", in[2048];
  int64_t echoed = 0;
  auto start = Clock::now();
  for (auto _ : state) {
    for (int i = 0; i < kWindow; ++i) ::send(fd, out, sizeof out, 0);
    for (int i = 0; i < kWindow && receive(fd, in, sizeof in); ++i) ++echoed;
  }
  std::chrono::duration<double> took = Clock::now() - start;
  state.SetItemsProcessed(echoed);
  g_figures[path].datagramsPerSecond = static_cast<double>(echoed) / took.count();
}

// A UDP echo on the loopback of the client namespace, on a thread of its own.
int startLoopbackEcho() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  std::thread([fd] {
    char b[2048];
    for (;;) {
      sockaddr_in from{};
      socklen_t l = sizeof from;
      ssize_t n = ::recvfrom(fd, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &l);
      if (n > 0) ::sendto(fd, b, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), l);
    }
  }).detach();
  return ntohs(a.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  if (auto why = systest::skipReason(); !why.empty()) {
    std::printf("filter_path: skipped: %s\n", why.c_str());
    return 0;
  }
  tsl::Scene scene;
  std::string why;
  if (!scene.setUp(&why, true)) {
    std::fprintf(stderr, "filter_path: set-up failed: %s\n", why.c_str());
    return 1;
  }
  if (scene.load() != 0) {
    std::fprintf(stderr, "filter_path: zandrel load failed\n");
    return 1;
  }
  tsl::FilterClient client(scene.runDir());
  // The filter selects by executable name: list this program for one echo port only, so the
  // other port's flow is queued and accepted.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  using namespace tamsel::abi;
  client.setEntrance(0, {tsl::kEntranceIP, tsl::kEntrancePort, 1, "203.0.113.200", 0});
  if (client.connect() != 0 ||
      client.white(0, 0,
                   self + "|" + tsl::kEchoIP + "|" + std::to_string(tsl::kUdpEchoPort) + "|udp") !=
          0 ||
      client.installPath(0) != 0 || client.on(KCTL_ENABLE_INTERCEPT_UDP) != 0 ||
      client.on(KCTL_ENABLE_INTERCEPT) != 0) {
    std::fprintf(stderr, "filter_path: configuring the filter failed\n");
    return 1;
  }
  {
    // Sockets keep the namespace they were made in.
    systest::Netns::Enter inCli(scene.cli());
    int loopPort = startLoopbackEcho();
    g_sockets["direct loopback"] = connectedSocket("127.0.0.1", loopPort);
    g_sockets["unlisted"] = connectedSocket(tsl::kEchoIP, tsl::kOtherUdpEchoPort);
    g_sockets["listed"] = connectedSocket(tsl::kEchoIP, tsl::kUdpEchoPort);
  }
  for (auto& [name, fd] : g_sockets) {
    if (fd < 0) {
      std::fprintf(stderr, "filter_path: no socket for %s\n", name.c_str());
      return 1;
    }
    benchmark::RegisterBenchmark(("RoundTrip/" + name).c_str(), RoundTrip, name)->UseRealTime();
    benchmark::RegisterBenchmark(("Throughput/" + name).c_str(), Throughput, name)->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const Figures base = g_figures["direct loopback"];
  if (base.secondsPerRoundTrip <= 0 || base.datagramsPerSecond <= 0) return 0;
  std::printf("\nagainst direct loopback UDP (same run):\n");
  for (const char* path : {"unlisted", "listed"}) {
    const Figures& f = g_figures[path];
    std::printf("  %-9s round trip x%.2f (%+.1f us added), throughput x%.2f\n", path,
                f.secondsPerRoundTrip / base.secondsPerRoundTrip,
                (f.secondsPerRoundTrip - base.secondsPerRoundTrip) * 1e6,
                f.datagramsPerSecond / base.datagramsPerSecond);
  }
  for (auto& [name, fd] : g_sockets) ::close(fd);
  return 0;
}
