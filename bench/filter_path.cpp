// What the traffic filter costs, each figure against the same path without it, in one run:
// UDP echo round trips (p50, p99), windowed UDP rate and TCP bulk echo through the same
// namespaces, for (a) the filter loaded with its master switch off, (b) switched on, for a program
// it does not list, (c) a listed program's flow through the stand-in relay; then, with 500 idle
// processes holding 50 sockets each and a "*" rule, (d) the connect time of another user's
// program and (e) an established flow's round trip while the user's programs open connections,
// against the same churn without the filter.
// The filter serves a user of its own (as when the desktop user loads it); the measuring programs
// are copies of this one under other names, run as that user or another.
// The listed path is also set beside (c0), the relay alone: echoes the worker frames itself, so
// that the relay's own hops are told from what the filter adds.
// Needs root. FILTER_PATH_BASE_DIR=<folder with zandrel and tamseld> runs every figure again on
// those binaries and prints both side by side; FILTER_PATH_THREADS=1 prints the CPU time and
// wake-ups per listed echo of each of the daemon's threads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FilterClient.h"
#include "RelayEcho.h"
#include "Scene.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uid_t kUser = 4241;       // the user the filter serves
constexpr uid_t kOtherUser = 4242;  // everyone else
constexpr int kWaitMs = 500;
constexpr int kEchoes = 4000;
constexpr double kSeconds = 1.5;
constexpr int kIdleProcesses = 500;
constexpr int kIdleSockets = 50;
constexpr int kConnects = 200;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

int connected(int type, const std::string& ip, int port) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

bool readable(int fd, int ms = kWaitMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// ---- Worker modes: each prints one line of figures and ends.

// How a worker echoes: plain datagrams on a socket connected to the echo server, or the same
// framed by the worker and sent through the relay alone.
struct Echo {
  std::function<bool(size_t payload)> send;
  std::function<bool(int ms)> receive;  // one answer within `ms`
};

std::optional<Echo> plainTo(const std::string& ip, int port) {
  int fd = connected(SOCK_DGRAM, ip, port);
  if (fd < 0) return std::nullopt;
  return Echo{[fd](size_t payload) {
                static const std::vector<char> out = [] {
                  std::vector<char> v(512);
                  std::snprintf(v.data(), v.size(), "filter path echo");
                  return v;
                }();
                return ::send(fd, out.data(), std::min(payload, out.size()), 0) >= 0;
              },
              [fd](int ms) {
                char in[2048];
                return readable(fd, ms) && ::recv(fd, in, sizeof in, 0) > 0;
              }};
}

// The worker frames its datagrams itself (to the echo server at ip:port) and sends them to the
// entrance.
std::optional<Echo> relayTo(const std::string& ip, int port) {
  int fd = connected(SOCK_DGRAM, tsl::kEntranceIP, tsl::kEntrancePort);
  if (fd < 0) return std::nullopt;
  auto relay =
      std::make_shared<bench::RelayEcho>(fd, tsl::kClientIP, ip, static_cast<uint16_t>(port));
  return Echo{[relay](size_t payload) { return relay->send(payload); },
              [relay](int ms) { return relay->receive(ms); }};
}

// UDP echo round trips of 64 bytes: p50 and p99 in microseconds, and the count lost.
int roundTrips(std::optional<Echo> echo, int count) {
  if (!echo) return 1;
  std::vector<double> took;
  int lost = 0, lostInARow = 0;
  for (int i = 0; i < count && lostInARow < 20; ++i) {
    auto t0 = Clock::now();
    if (!echo->send(64) || !echo->receive(kWaitMs)) {
      ++lost;
      ++lostInARow;
      continue;
    }
    lostInARow = 0;
    took.push_back(micros(Clock::now() - t0));
  }
  std::printf("%.1f %.1f %d\n", percentile(took, 0.5), percentile(took, 0.99), lost);
  return 0;
}

// 16 datagrams of 512 bytes in flight: echoes per second.
int rate(std::optional<Echo> echo) {
  if (!echo) return 1;
  int64_t echoed = 0, stalls = 0;
  auto start = Clock::now();
  while (Clock::now() - start < std::chrono::duration<double>(kSeconds)) {
    for (int i = 0; i < 16; ++i) echo->send(512);
    for (int i = 0; i < 16; ++i) {
      // A datagram lost on the way costs the wait: counted, as it lowers the rate.
      if (!echo->receive(50)) {
        ++stalls;
        break;
      }
      ++echoed;
    }
  }
  std::printf(
      "%.0f %lld\n",
      static_cast<double>(echoed) / std::chrono::duration<double>(Clock::now() - start).count(),
      static_cast<long long>(stalls));
  return 0;
}

// TCP echo of 64 KiB blocks: bytes echoed per second.
int tcpBulk(const std::string& ip, int port) {
  int fd = connected(SOCK_STREAM, ip, port);
  if (fd < 0) return 1;
  std::vector<char> block(65536, 'x'), in(65536);
  int64_t echoed = 0;
  auto start = Clock::now();
  while (Clock::now() - start < std::chrono::duration<double>(kSeconds)) {
    size_t sent = 0;
    while (sent < block.size()) {
      ssize_t n = ::send(fd, block.data() + sent, block.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
      // Read while writing: the echo server writes back as it reads.
      while (readable(fd, 0)) {
        ssize_t r = ::recv(fd, in.data(), in.size(), 0);
        if (r <= 0) return 1;
        echoed += r;
      }
      if (n < 0 && errno != EAGAIN) return 1;
      if (n < 0) readable(fd, 5);
    }
    while (echoed < static_cast<int64_t>(sent) && readable(fd)) {
      ssize_t r = ::recv(fd, in.data(), in.size(), MSG_DONTWAIT);
      if (r <= 0) break;
      echoed += r;
    }
  }
  std::printf("%.0f\n", static_cast<double>(echoed) /
                            std::chrono::duration<double>(Clock::now() - start).count());
  return 0;
}

// Connections opened one after another: the p50 and p99 of connect() in microseconds.
int connectTimes(const std::string& ip, int port, int count) {
  std::vector<double> took;
  for (int i = 0; i < count; ++i) {
    auto t0 = Clock::now();
    int fd = connected(SOCK_STREAM, ip, port);
    if (fd < 0) continue;
    took.push_back(micros(Clock::now() - t0));
    ::close(fd);
  }
  std::printf("%.1f %.1f\n", percentile(took, 0.5), percentile(took, 0.99));
  return 0;
}

// Connections opened until killed.
int churn(const std::string& ip, int port) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::printf("churning\n");
  std::fflush(stdout);
  for (;;) {
    int fd = connected(SOCK_STREAM, ip, port);
    if (fd >= 0) ::close(fd);
  }
}

// `processes` children holding `sockets` bound UDP sockets each, until killed.
int idle(int processes, int sockets) {
  int ready[2];
  if (::pipe(ready) != 0) return 1;
  for (int i = 0; i < processes; ++i) {
    if (::fork() == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (int s = 0; s < sockets; ++s) {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      }
      char c = 1;
      if (::write(ready[1], &c, 1) < 0) ::_exit(1);
      for (;;) ::pause();
    }
  }
  for (int i = 0; i < processes; ++i) {
    char c;
    if (::read(ready[0], &c, 1) != 1) return 1;
  }
  std::printf("idle\n");
  std::fflush(stdout);
  for (;;) ::pause();
}

int worker(int argc, char** argv) {
  std::string mode = argv[2];
  if (mode == "idle" && argc == 5) return idle(std::atoi(argv[3]), std::atoi(argv[4]));
  if (argc < 5) return 2;
  std::string ip = argv[3];
  int port = std::atoi(argv[4]);
  int count = argc > 5 ? std::atoi(argv[5]) : 0;
  if (mode == "rtt") return roundTrips(plainTo(ip, port), count);
  if (mode == "rate") return rate(plainTo(ip, port));
  if (mode == "relay-rtt") return roundTrips(relayTo(ip, port), count);
  if (mode == "relay-rate") return rate(relayTo(ip, port));
  if (mode == "bulk") return tcpBulk(ip, port);
  if (mode == "connect") return connectTimes(ip, port, count);
  if (mode == "churn") return churn(ip, port);
  return 2;
}

// ---- The measuring side.

// Copies of this program under the names the filter tells apart.
struct Programs {
  std::unique_ptr<systest::TempDir> dir;
  std::string listed, unlisted;
  bool make() {
    dir = std::make_unique<systest::TempDir>("filter-path", "/run");
    ::chmod(dir->path().c_str(), 0755);
    listed = (dir->path() / "fp-listed").string();
    unlisted = (dir->path() / "fp-unlisted").string();
    std::error_code ec;
    for (const auto& to : {listed, unlisted}) {
      fs::copy_file("/proc/self/exe", to, ec);
      ::chmod(to.c_str(), 0755);
    }
    return !ec;
  }
};

std::vector<double> numbers(const std::string& text) {
  std::istringstream in(text);
  std::vector<double> out;
  double v;
  while (in >> v) out.push_back(v);
  return out;
}

// Runs one worker in the client namespace as `uid`; its figures, or empty.
std::vector<double> run(const tsl::Scene& scene, const std::string& program, uid_t uid,
                        std::vector<std::string> args) {
  args.insert(args.begin(), {program, "--worker"});
  systest::SpawnOptions o;
  o.netns = &scene.cli();
  o.uid = uid;
  auto p = systest::Process::spawn(args, o);
  auto code = p.wait(60s);
  if (code != std::optional<int>(0)) {
    std::fprintf(stderr, "filter_path: worker %s failed: %s\n", args[2].c_str(), p.log().c_str());
    return {};
  }
  return numbers(p.log());
}

systest::Process spawnUntil(const tsl::Scene& scene, const std::string& program, uid_t uid,
                            std::vector<std::string> args, const std::string& ready) {
  args.insert(args.begin(), {program, "--worker"});
  systest::SpawnOptions o;
  o.netns = &scene.cli();
  o.uid = uid;
  auto p = systest::Process::spawn(args, o);
  systest::waitFor([&] { return p.log().find(ready) != std::string::npos; }, 60s);
  return p;
}

// CPU time in ns that the threads of process `pid` have run so far (0 without it). A figure that
// a busy machine does not blur: time spent waiting to run is not in it.
double cpuNanos(std::optional<int> pid) {
  if (!pid) return 0;
  double total = 0;
  std::error_code ec;
  for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(*pid) + "/task", ec)) {
    std::ifstream in(t.path() / "schedstat");
    double ns = 0;
    if (in >> ns) total += ns;
  }
  return total;
}

// Per thread of process `pid`: name, CPU ns and times scheduled in.
struct ThreadUse {
  std::string name;
  double ns = 0, slices = 0;
};
std::map<std::string, ThreadUse> threadUse(std::optional<int> pid) {
  std::map<std::string, ThreadUse> out;
  if (!pid) return out;
  std::error_code ec;
  for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(*pid) + "/task", ec)) {
    ThreadUse u;
    std::ifstream in(t.path() / "schedstat");
    double wait = 0;
    if (!(in >> u.ns >> wait >> u.slices)) continue;
    std::ifstream comm(t.path() / "comm");
    std::getline(comm, u.name);
    out[t.path().filename().string()] = u;
  }
  return out;
}

void printThreadUse(const char* what, const std::map<std::string, ThreadUse>& a,
                    const std::map<std::string, ThreadUse>& b, double echoes) {
  if (!std::getenv("FILTER_PATH_THREADS")) return;
  for (const auto& [tid, u] : b) {
    auto it = a.find(tid);
    ThreadUse before = it == a.end() ? ThreadUse{} : it->second;
    std::fprintf(stderr, "%s thread %s %s: %.1f us CPU, %.2f wake-ups per echo\n", what,
                 tid.c_str(), u.name.c_str(), (u.ns - before.ns) / 1000 / echoes,
                 (u.slices - before.slices) / echoes);
  }
}

// The figures of one path; with `daemon`, the daemon's CPU time per echo of the round trips and
// of the rate.
struct Path {
  double p50 = 0, p99 = 0, rate = 0, bulk = 0, lost = 0, stalls = 0;
  double rttCpu = 0, rateCpu = 0;
};
using Figures = std::map<std::string, double>;

Path measure(const tsl::Scene& scene, const std::string& program, int udpPort, bool tcp,
             std::optional<int> daemon = std::nullopt, const std::string& mode = "") {
  Path f;
  double cpu0 = cpuNanos(daemon);
  auto use0 = threadUse(daemon);
  auto rt = run(scene, program, kUser,
                {mode + "rtt", tsl::kEchoIP, std::to_string(udpPort), std::to_string(kEchoes)});
  double cpu1 = cpuNanos(daemon);
  printThreadUse("round trips", use0, threadUse(daemon), kEchoes);
  auto use1 = threadUse(daemon);
  if (rt.size() >= 3) {
    f.p50 = rt[0], f.p99 = rt[1], f.lost = rt[2];
    if (daemon && kEchoes > f.lost) f.rttCpu = (cpu1 - cpu0) / 1000 / (kEchoes - f.lost);
  }
  auto rate = run(scene, program, kUser, {mode + "rate", tsl::kEchoIP, std::to_string(udpPort)});
  double cpu2 = cpuNanos(daemon);
  if (!rate.empty()) {
    printThreadUse("rate", use1, threadUse(daemon), rate[0] * kSeconds);
    f.rate = rate[0];
    // The worker's own measure of time is close to kSeconds.
    if (daemon && f.rate > 0) f.rateCpu = (cpu2 - cpu1) / 1000 / (f.rate * kSeconds);
  }
  if (rate.size() >= 2) f.stalls = rate[1];
  if (tcp) {
    auto bulk =
        run(scene, program, kUser, {"bulk", tsl::kEchoIP, std::to_string(tsl::kTcpEchoPort)});
    if (!bulk.empty()) f.bulk = bulk[0];
  }
  return f;
}

void put(Figures* out, const std::string& name, const Path& p, const Path& direct) {
  (*out)[name + " p50 added us"] = p.p50 - direct.p50;
  (*out)[name + " p99 added us"] = p.p99 - direct.p99;
  (*out)[name + " udp rate x"] = direct.rate > 0 ? p.rate / direct.rate : 0;
  if (p.lost > 0) (*out)[name + " echoes lost"] = p.lost;
  // Rounds of the rate that waited 50 ms for a lost datagram (the direct path's in brackets).
  if (p.stalls > 0 || direct.stalls > 0)
    (*out)[name + " udp rate stalls (direct " + std::to_string(static_cast<int>(direct.stalls)) +
           ")"] = p.stalls;
  (*out)[name + " udp rate per s"] = p.rate;
  (*out)[name + " udp rate per s, direct"] = direct.rate;
  if (direct.bulk > 0 && p.bulk > 0) (*out)[name + " tcp bulk x"] = p.bulk / direct.bulk;
  if (p.rttCpu > 0) (*out)[name + " daemon CPU us per echo (round trips)"] = p.rttCpu;
  if (p.rateCpu > 0) (*out)[name + " daemon CPU us per echo (rate)"] = p.rateCpu;
}

// Every figure with the daemon from `daemonDir` (empty: the one built with this program).
bool figures(const std::string& daemonDir, const Programs& programs, Figures* out) {
  tsl::Scene scene;
  if (!daemonDir.empty()) scene.setDaemonDir(daemonDir);
  std::string why;
  if (!scene.setUp(&why, true)) {
    std::fprintf(stderr, "filter_path: set-up failed: %s\n", why.c_str());
    return false;
  }
  const std::string udpUnlisted = std::to_string(tsl::kOtherUdpEchoPort);
  // Without the filter: the reference of every ratio.
  Path direct = measure(scene, programs.unlisted, tsl::kOtherUdpEchoPort, true);
  Path directListed = measure(scene, programs.listed, tsl::kUdpEchoPort, false);
  // The relay's own share of the listed path: its frames built by the worker, no filter.
  Path relayAlone =
      measure(scene, programs.unlisted, tsl::kUdpEchoPort, false, std::nullopt, "relay-");
  auto idleProcs =
      spawnUntil(scene, programs.unlisted, kOtherUser,
                 {"idle", std::to_string(kIdleProcesses), std::to_string(kIdleSockets)}, "idle");
  auto connectDirect =
      run(scene, programs.unlisted, kOtherUser,
          {"connect", tsl::kEchoIP, std::to_string(tsl::kTcpEchoPort), std::to_string(kConnects)});
  auto established = [&] {
    return run(scene, programs.unlisted, kOtherUser,
               {"rtt", tsl::kEchoIP, udpUnlisted, std::to_string(kEchoes / 20)});
  };
  // The user's own programs open connections meanwhile: a load of its own (connects, accepts), so
  // the flow's round trip under it without the filter is the reference of (e).
  auto churning = [&] {
    auto churner =
        spawnUntil(scene, programs.unlisted, kUser,
                   {"churn", tsl::kEchoIP, std::to_string(tsl::kTcpEchoPort)}, "churning");
    auto rtt = established();
    churner.signal(SIGKILL);
    churner.wait(5s);
    return rtt;
  };
  std::vector<double> churnDirect = churning();

  if (scene.loadFor(kUser) != 0) {
    std::fprintf(stderr, "filter_path: tamseld did not start\n");
    return false;
  }
  tsl::FilterClient client(scene.runDir());
  using namespace tamsel::abi;
  client.setEntrance(0, {tsl::kEntranceIP, tsl::kEntrancePort, 1, "203.0.113.200", 0});
  if (client.connect() != 0 ||
      client.white(0, 0,
                   "fp-listed|" + std::string(tsl::kEchoIP) + "|" +
                       std::to_string(tsl::kUdpEchoPort) + "|udp") != 0 ||
      client.installPath(0) != 0 || client.on(KCTL_ENABLE_INTERCEPT_UDP) != 0 ||
      client.on(KCTL_ENABLE_INTERCEPT_TCP) != 0) {
    std::fprintf(stderr, "filter_path: configuring the filter failed\n");
    return false;
  }
  put(out, "(a) switch off, unlisted",
      measure(scene, programs.unlisted, tsl::kOtherUdpEchoPort, true), direct);
  client.on(KCTL_ENABLE_INTERCEPT);
  put(out, "(b) switch on, unlisted",
      measure(scene, programs.unlisted, tsl::kOtherUdpEchoPort, true), direct);
  Path listed = measure(scene, programs.listed, tsl::kUdpEchoPort, false, scene.tamseldPid());
  put(out, "(c) listed via relay", listed, directListed);
  // What the filter adds over the relay's own hops.
  put(out, "(c0) relay alone, no filter", relayAlone, directListed);
  (*out)["(c) listed p50 added over the relay alone us"] = listed.p50 - relayAlone.p50;
  (*out)["(c) listed udp rate x of the relay alone"] =
      relayAlone.rate > 0 ? listed.rate / relayAlone.rate : 0;

  // Every program of every user is listed by name now; the rule's address is never used.
  client.white(0, 0, "*|203.0.113.99|9|udp");
  auto connectLoaded =
      run(scene, programs.unlisted, kOtherUser,
          {"connect", tsl::kEchoIP, std::to_string(tsl::kTcpEchoPort), std::to_string(kConnects)});
  // (p99 only with the echo server's accept queue in it: not shown)
  if (connectDirect.size() >= 2 && connectLoaded.size() >= 2)
    (*out)["(d) other user's connect p50 added us"] = connectLoaded[0] - connectDirect[0];
  // The same churn, each new connection now looked up.
  {
    auto busy = churning();
    // -1: the echoes did not end within the worker's minute.
    if (churnDirect.size() >= 2) {
      (*out)["(e) established rtt p50 us while others connect, no filter"] = churnDirect[0];
      (*out)["(e) established rtt p50 x while others connect"] =
          busy.size() >= 2 ? busy[0] / churnDirect[0] : -1;
    }
  }
  auto userConnect = run(scene, programs.listed, kUser,
                         {"connect", tsl::kEchoIP, std::to_string(tsl::kTcpEchoPort), "50"});
  if (connectDirect.size() >= 2 && userConnect.size() >= 2)
    (*out)["(f) user's own connect p50 added us (\"*\" selects it)"] =
        userConnect[0] - connectDirect[0];
  client.close();
  idleProcs.signal(SIGKILL);
  idleProcs.wait(5s);
  systest::waitFor([&] { return scene.unload() == 0; }, 5s);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--worker") return worker(argc, argv);
  if (auto why = systest::skipReason(); !why.empty()) {
    std::printf("filter_path: skipped: %s\n", why.c_str());
    return 0;
  }
  Programs programs;
  if (!programs.make()) {
    std::fprintf(stderr, "filter_path: cannot copy the program\n");
    return 1;
  }
  const char* base = std::getenv("FILTER_PATH_BASE_DIR");
  Figures before, after;
  if (base && *base && !figures(base, programs, &before)) return 1;
  if (!figures("", programs, &after)) return 1;

  std::printf("\nfilter cost against the same path without it (one run; x = ratio to direct)\n");
  std::printf("  %-58s %12s%s\n", "", "this build", base && *base ? "   base build" : "");
  for (const auto& [name, value] : after) {
    std::printf("  %-58s %12.2f", name.c_str(), value);
    if (base && *base) {
      auto it = before.find(name);
      if (it != before.end()) std::printf(" %13.2f", it->second);
    }
    std::printf("\n");
  }
  return 0;
}
