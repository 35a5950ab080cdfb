// UDP echo round trips through the tunnel (TUN, direct UDP stack, marked socket, veth) against
// the same echo reached directly over the veth. Needs root: it builds two network namespaces.
// Prints the ratio of the two mean round-trip times after the runs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "Mazzle/MZRawSocketFactory.h"
#include "Mazzle/MZTUNInterface.h"
#include "Mazzle/MZUDPDirectStack.h"
#include "platform/netext/NetworkSettings.h"
#include "systest/Systest.h"

namespace {

constexpr uint32_t kMark = 0x47560001;

sockaddr_in address(const char* text, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

// The client side (TUN, sockets of the runs) and the echo's side, linked by a veth pair; the
// echo's address is routed over it, so that it is never delivered locally.
bool setUpNamespaces(const systest::Netns& client, const systest::Netns& peer) {
  return client.valid() && peer.valid() &&
         systest::veth(client, "gvba", "198.51.100.1/24", peer, "gvbb", "198.51.100.50/24") &&
         client.ok("ip route add 203.0.113.0/24 via 198.51.100.50") &&
         peer.ok("ip addr add 203.0.113.10/32 dev lo");
}

// Returns once the echo socket is bound, so that the first round trip is not lost to a race.
bool startEcho(const systest::Netns& peer) {
  std::promise<bool> bound;
  auto ready = bound.get_future();
  std::thread([&bound, &peer] {
    systest::Netns::Enter in(peer);
    if (!in.entered()) return bound.set_value(false);
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    auto a = address("203.0.113.10", 9999);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return bound.set_value(false);
    bound.set_value(true);
    char b[2048];
    for (;;) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(fd, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0) ::sendto(fd, b, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }).detach();
  return ready.get();
}

void roundTrips(benchmark::State& state, bool marked) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (marked) ::setsockopt(fd, SOL_SOCKET, SO_MARK, &kMark, sizeof kMark);
  timeval tv{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto to = address("203.0.113.10", 9999);
  ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
  char payload[64] = "ping";
  char back[2048];
  for (auto _ : state) {
    ::send(fd, payload, sizeof payload, 0);
    if (::recv(fd, back, sizeof back, 0) < 0) {
      state.SkipWithError("echo lost");
      break;
    }
  }
  ::close(fd);
}

void BM_DirectOverVeth(benchmark::State& state) { roundTrips(state, true); }
void BM_ThroughTunnel(benchmark::State& state) { roundTrips(state, false); }

BENCHMARK(BM_DirectOverVeth)->UseRealTime();
BENCHMARK(BM_ThroughTunnel)->UseRealTime();

// Collects each run's mean real time so the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      double t = run.GetAdjustedRealTime();
      if (run.benchmark_name().find("Direct") != std::string::npos) direct = t;
      if (run.benchmark_name().find("Tunnel") != std::string::npos) tunnel = t;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double direct = 0, tunnel = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (auto reason = systest::skipReason(); !reason.empty()) {
    std::fprintf(stderr, "tunnel_udp_echo: %s\n", reason.c_str());
    return 0;
  }
  systest::Netns client(systest::uniqueName("gvb-c"));
  systest::Netns peer(systest::uniqueName("gvb"));
  if (!setUpNamespaces(client, peer)) {
    std::fprintf(stderr, "namespace setup failed\n");
    return 1;
  }
  if (!startEcho(peer)) {
    std::fprintf(stderr, "echo server setup failed\n");
    return 1;
  }
  // This thread makes the TUN, the stacks' threads and the sockets of the runs: all in the
  // client namespace. It leaves before the namespaces go, or their clean-up would kill it.
  int status = [&] {
    systest::Netns::Enter in(client);
    if (!in.entered()) {
      std::fprintf(stderr, "cannot enter the client namespace\n");
      return 1;
    }
    MZRawSocketFactory::sharedInstance().setMark(kMark);
    auto flow = std::make_shared<platform::netext::PacketFlow>();
    int rc = flow->open("gvtun%d");
    platform::netext::RtnetlinkSettingsApplier applier(rc == 0 ? flow->name() : "", kMark, 5160);
    platform::netext::NetworkSettings settings;
    platform::netext::IPv4Settings v4;
    v4.addresses = {"192.0.2.1"};
    v4.subnetMasks = {"255.255.255.0"};
    v4.includedRoutes = {platform::netext::IPv4Route::defaultRoute()};
    settings.ipv4Settings = v4;
    if (rc != 0 || applier.apply(&settings)) {
      std::fprintf(stderr, "TUN setup failed\n");
      return 1;
    }
    auto interface = std::make_shared<MZTUNInterface>(flow);
    interface->registerStack(std::make_shared<MZUDPDirectStack>());
    interface->start();

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.direct > 0)
      std::printf("tunnel/direct round-trip ratio: %.2f\n", reporter.tunnel / reporter.direct);

    interface->terminal();
    applier.apply(nullptr);
    return 0;
  }();
  return status;
}
