// Path failover: how long a game is cut off when the entrance it uses goes silent in the middle of
// play, in tunnel mode (galvent-tunnel, line and game variants) and in filter mode (tamseld under
// the acceleration controller). Root: it builds the failover tests' scene (namespaces, relay with
// two entrances, echo server) and streams the test game's echo, one datagram every 20 ms.
//
//   failover [--cuts N] [--modes line,game,filter] [--hold-ms N]
//
// Tunnel mode: each cut silences the entrance in use and waits for the stream to run through the
// other one; the next cut silences that one. Filter mode: each cut silences A for --hold-ms (by
// default the tunnel floor + 2 s), since nothing in that mode moves the game, then lets A answer.
// Prints, per mode, the median and worst time without an echo answer and the time until the
// game's answers came through the other entrance, next to the tunnel engine's floor (heartbeat
// interval x silence count + resolve time).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FailoverScene.h"
#include "FilterAcceleration.h"

using namespace std::chrono_literals;
using failover::kEntranceA;
using failover::kEntranceB;

namespace {

struct Cut {
  int64_t outageMs = -1;   // time without an echo answer (-1: it never ended)
  int64_t throughMs = -1;  // cut to the first answer through the other entrance (-1: none)
};

// Polls `done` every `every` until it holds or `limit` passes (the record file grows with the
// run, so it is read less often than the tests read theirs).
template <class F>
bool until(F done, std::chrono::milliseconds limit, std::chrono::milliseconds every = 200ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

std::string figure(std::vector<int64_t> v, bool worst) {
  v.erase(std::remove(v.begin(), v.end(), -1), v.end());
  if (v.empty()) return "none";
  std::sort(v.begin(), v.end());
  int64_t x = worst ? v.back() : v[(v.size() - 1) / 2];
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f s", static_cast<double>(x) / 1000.0);
  return buf;
}

std::vector<Cut> tunnelCuts(const tsl::Scene& scene, failover::Variant v,
                            const failover::Services& services, int cuts) {
  std::vector<Cut> out;
  failover::Tunnel tunnel(scene);
  if (auto e = tunnel.start(v, services); !e.empty()) {
    std::fprintf(stderr, "tunnel (%s): %s\n", failover::nameOf(v), e.c_str());
    return out;
  }
  failover::Stream stream;
  stream.start(scene, std::chrono::minutes(2) + cuts * 40s);
  std::string current = kEntranceA, other = kEntranceB;
  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> phase(0,
                                           static_cast<int>(failover::kHeartbeatInterval.count()));
  int64_t since = failover::nowMs();
  for (int k = 0; k < cuts; ++k) {
    // Running through `current`, its heartbeat answered twice since the last change.
    if (!until(
            [&] {
              auto t = failover::trafficOn(scene.relayFrames(), current, since);
              return t.answersOut > 0 && t.heartbeatsIn >= 2;
            },
            30s)) {
      std::fprintf(stderr, "cut %d: the stream does not run through %s\n", k, current.c_str());
      break;
    }
    // At any moment of the heartbeat's 2 s period, as a real loss would come.
    std::this_thread::sleep_for(std::chrono::milliseconds(phase(rng)));
    failover::setEntrance(scene, current, "silent");
    const int64_t cut = failover::switchedAt(scene.relayFrames(), current, "silent", since);
    Cut c;
    until([&] { return failover::trafficOn(scene.relayFrames(), other, cut).answersOut > 0; },
          failover::kTunnelFloor + 20s);
    if (auto t = failover::trafficOn(scene.relayFrames(), other, cut); t.answersOut)
      c.throughMs = t.firstAnswer - cut;
    if (auto g = stream.waitGapEndingAfter(cut, 5s)) c.outageMs = g->ms;
    std::printf("  %s cut %d: %s silent, no answer for %lld ms, through %s after %lld ms\n",
                failover::nameOf(v), k + 1, current.c_str(), static_cast<long long>(c.outageMs),
                other.c_str(), static_cast<long long>(c.throughMs));
    std::fflush(stdout);
    out.push_back(c);
    failover::setEntrance(scene, current, "normal");
    std::swap(current, other);
    since = failover::nowMs();
  }
  stream.stop();
  tunnel.stop();
  return out;
}

std::vector<Cut> filterCuts(const tsl::Scene& scene, int cuts, std::chrono::milliseconds hold) {
  std::vector<Cut> out;
  failover::FilterAcceleration accel(scene);
  auto events = accel.start();
  if (events != std::vector<std::string>{"completed"}) {
    std::fprintf(stderr, "filter mode did not start: %s\n",
                 events.empty() ? "" : events[0].c_str());
    return out;
  }
  failover::Stream stream;
  stream.start(scene, std::chrono::minutes(1) + cuts * (hold + 10s));
  int64_t since = failover::nowMs();
  for (int k = 0; k < cuts; ++k) {
    if (!until(
            [&] {
              return failover::trafficOn(scene.relayFrames(), kEntranceA, since).answersOut > 0;
            },
            20s)) {
      std::fprintf(stderr, "cut %d: the stream does not run through A\n", k);
      break;
    }
    failover::setEntrance(scene, kEntranceA, "silent");
    const int64_t cut = failover::switchedAt(scene.relayFrames(), kEntranceA, "silent", since);
    Cut c;
    // Whatever would end the outage while A stays silent.
    bool resumed = stream.waitGapEndingAfter(cut, hold).has_value();
    failover::setEntrance(scene, kEntranceA, "normal");
    if (auto g = stream.waitGapEndingAfter(cut, 5s)) c.outageMs = g->ms;
    if (auto t = failover::trafficOn(scene.relayFrames(), kEntranceB, cut); t.answersOut)
      c.throughMs = t.firstAnswer - cut;
    std::printf("  filter cut %d: A silent for %lld ms, %s, no answer for %lld ms, B %s\n", k + 1,
                static_cast<long long>(hold.count()),
                resumed ? "resumed while A was silent" : "no answer while A was silent",
                static_cast<long long>(c.outageMs), c.throughMs < 0 ? "never used" : "used");
    std::fflush(stdout);
    out.push_back(c);
    since = failover::nowMs();
  }
  stream.stop();
  accel.stop();
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int cuts = 10;
  std::string modes = "line,game,filter";
  auto hold = failover::kTunnelFloor + 2s;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--cuts")) {
      cuts = std::max(1, std::atoi(argv[i + 1]));
    } else if (!std::strcmp(argv[i], "--modes")) {
      modes = argv[i + 1];
    } else if (!std::strcmp(argv[i], "--hold-ms")) {
      hold = std::chrono::milliseconds(std::max(1, std::atoi(argv[i + 1])));
    }
  }
  if (auto r = systest::skipReason(); !r.empty()) {
    std::fprintf(stderr, "failover: %s\n", r.c_str());
    return 2;
  }
  tsl::Scene scene;
  std::string why;
  if (!scene.setUp(&why, failover::sceneOptions())) {
    std::fprintf(stderr, "failover: %s\n", why.c_str());
    return 1;
  }
  // Every client thread (service stand-ins, the controller) lives in cli.
  systest::Netns::Enter inside(scene.cli());
  failover::Services services;
  if (!inside.entered() || !services.start()) {
    std::fprintf(stderr, "failover: the service stand-ins did not start\n");
    return 1;
  }
  std::map<std::string, std::vector<Cut>> results;
  for (auto [name, variant] :
       {std::pair{"line", failover::Variant::Line}, std::pair{"game", failover::Variant::Game}})
    if (modes.find(name) != std::string::npos)
      results[std::string("tunnel/") + name] = tunnelCuts(scene, variant, services, cuts);
  if (modes.find("filter") != std::string::npos) results["filter"] = filterCuts(scene, cuts, hold);

  std::printf("\nfloor (tunnel): heartbeat %lld ms x %d unanswered + resolve %lld ms = %.2f s\n",
              static_cast<long long>(failover::kHeartbeatInterval.count()),
              failover::kHeartbeatLossLimit,
              static_cast<long long>(failover::kResolveDuration.count()),
              static_cast<double>(failover::kTunnelFloor.count()) / 1000.0);
  std::printf("%-12s %5s %16s %16s %22s %22s\n", "mode", "cuts", "outage median", "outage worst",
              "other entrance median", "other entrance worst");
  for (const auto& [mode, list] : results) {
    std::vector<int64_t> outage, through;
    for (const auto& c : list) {
      outage.push_back(c.outageMs);
      through.push_back(c.throughMs);
    }
    std::printf("%-12s %5zu %16s %16s %22s %22s\n", mode.c_str(), list.size(),
                figure(outage, false).c_str(), figure(outage, true).c_str(),
                figure(through, false).c_str(), figure(through, true).c_str());
  }
  return 0;
}
