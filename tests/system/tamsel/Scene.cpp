#include "Scene.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/kctl/wire.h"
#include "tamsel/kctl_abi.h"

namespace tsl {

nlohmann::json gameRuleList(int flowId) {
  return {{"code", 0},
          {"info", "ok"},
          {"data",
           {{"flow_id", flowId},
            {"rules",
             {{{"id", 11},
               {"traffic_level", 1},
               {"process", {"tslgame"}},
               {"port", {std::to_string(kUdpEchoPort)}},
               {"protocol", {"udp"}},
               {"destination_ip_domain", {kEchoIP}},
               {"exits", {{{"addr", "3-7"}, {"nat", "MjAzLjAuMTEzLjIwMA=="}}}}}}},
            {"entrance", {{{"ip", kEntranceIP}, {"ports", {kEntrancePort}}}}}}}};
}

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ipText(const uint8_t* p) {
  char ip[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, p, ip, sizeof ip);
  return ip;
}

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Waits until a line of the process's output contains `needle`.
bool announced(systest::Process& p, const std::string& needle) {
  return systest::waitFor([&] { return p.log().find(needle) != std::string::npos || !p.running(); },
                          5s) &&
         p.log().find(needle) != std::string::npos;
}

}  // namespace

std::optional<Inner> innerOf(const RelayFrame& f) {
  size_t skip = f.type == 400 ? 33 : 0;
  if (f.body.size() < skip + 20) return std::nullopt;
  const uint8_t* p = f.body.data() + skip;
  size_t n = f.body.size() - skip;
  size_t hl = static_cast<size_t>(p[0] & 0x0f) * 4;
  size_t total = static_cast<size_t>(p[2] << 8 | p[3]);
  if ((p[0] >> 4) != 4 || hl < 20 || total < hl || total > n) return std::nullopt;
  Inner in;
  in.protocol = p[9];
  in.src = ipText(p + 12);
  in.dst = ipText(p + 16);
  const uint8_t* l4 = p + hl;
  size_t l4len = total - hl;
  size_t head = in.protocol == 6 ? 20 : 8;
  if (in.protocol == 6 && l4len >= 20) head = static_cast<size_t>(l4[12] >> 4) * 4;
  if (l4len < 8 || l4len < head) return in;
  if (in.protocol == 1) {
    in.srcPort = static_cast<uint16_t>(l4[4] << 8 | l4[5]);
  } else {
    in.srcPort = static_cast<uint16_t>(l4[0] << 8 | l4[1]);
    in.dstPort = static_cast<uint16_t>(l4[2] << 8 | l4[3]);
  }
  in.payload.assign(l4 + head, l4 + l4len);
  in.packet.assign(p, p + total);
  return in;
}

namespace {
uint32_t sum16(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += static_cast<uint32_t>(p[n - 1] << 8);
  return sum;
}
uint16_t fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}
}  // namespace

bool checksumsRight(const std::vector<uint8_t>& p) {
  if (p.size() < 20) return false;
  size_t hl = static_cast<size_t>(p[0] & 0x0f) * 4;
  if (hl < 20 || hl > p.size() || fold(sum16(p.data(), hl)) != 0xffff) return false;
  const uint8_t* l4 = p.data() + hl;
  size_t len = p.size() - hl;
  uint8_t proto = p[9];
  if (proto == 1) return fold(sum16(l4, len)) == 0xffff;
  if (proto != 6 && proto != 17) return true;
  // Pseudo-header: addresses, protocol, length.
  uint32_t sum = sum16(p.data() + 12, 8);
  sum += proto;
  sum += static_cast<uint32_t>(len);
  return fold(sum16(l4, len, sum)) == 0xffff;
}

size_t countLines(const std::string& log, const std::string& needle) {
  std::istringstream in(log);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) n += line.find(needle) != std::string::npos;
  return n;
}

Scene::Scene() = default;

Scene::~Scene() {
  if (cli_ && cli_->valid()) {
    unload();
    // Whatever is left (a refused unload, a test that failed half way) goes with the namespace;
    // the daemon's own pid first, since it left our process tree when zandrel detached it.
    if (auto pid = tamseldPid()) ::kill(*pid, SIGKILL);
  }
}

bool Scene::setUp(std::string* why, bool quiet) {
  SceneOptions o;
  o.quiet = quiet;
  return setUp(why, o);
}

bool Scene::setUp(std::string* why, const SceneOptions& options) {
  const bool quiet = options.quiet;
  // Under /run: zandrel refuses a daemon below a folder others may write, as /tmp is.
  dir_ = std::make_unique<systest::TempDir>("tamsel-sys", "/run");
  binDir_ = (dir_->path() / "bin").string();
  runDir_ = (dir_->path() / "run").string();
  recordFile_ = (dir_->path() / "relay.jsonl").string();
  // zandrel starts only the tamseld beside it, in a root-owned folder nobody else may write.
  std::error_code ec;
  fs::create_directory(binDir_, ec);
  fs::create_directory(runDir_, ec);
  ::chmod(dir_->path().c_str(), 0755);
  ::chmod(binDir_.c_str(), 0755);
  ::chmod(runDir_.c_str(), 0755);
  if (!installedDir_.empty()) {
    binDir_ = installedDir_;
    runDir_ = installedRunDir_;
  } else {
    fs::copy_file(daemonDir_.empty() ? TSL_ZANDREL : daemonDir_ + "/zandrel", binDir_ + "/zandrel",
                  ec);
    if (!ec)
      fs::copy_file(daemonDir_.empty() ? TSL_TAMSELD : daemonDir_ + "/tamseld",
                    binDir_ + "/tamseld", ec);
  }
  if (ec) {
    *why = "cannot copy zandrel and tamseld: " + ec.message();
    return false;
  }

  const std::string tag = systest::uniqueName("tsl");
  cli_ = std::make_unique<systest::Netns>(tag + "-cli");
  ent_ = std::make_unique<systest::Netns>(tag + "-ent");
  srv_ = std::make_unique<systest::Netns>(tag + "-srv");
  if (!cli_->valid() || !ent_->valid() || !srv_->valid()) {
    *why = "cannot create the namespaces";
    return false;
  }
  auto step = [&](bool ok, const char* what) {
    if (!ok) *why = what;
    return ok;
  };
  if (!step(systest::veth(*cli_, "c0", std::string(kClientIP) + "/24", *ent_, "e0",
                          std::string(kEntranceIP) + "/24"),
            "veth cli-ent") ||
      !step(systest::veth(*ent_, "e1", std::string(kRelayOutIP) + "/24", *srv_, "s0",
                          "203.0.113.1/24"),
            "veth ent-srv") ||
      !step(cli_->ok(std::string("ip route add default via ") + kEntranceIP), "cli route") ||
      !step(cli_->ok("sysctl -qw net.ipv4.ping_group_range='0 2147483647'"), "ping sockets") ||
      // Strict reverse-path filtering, as on a desktop: the daemon loosens it and restores it.
      !step(cli_->ok("sysctl -qw net.ipv4.conf.all.rp_filter=1"), "cli rp_filter") ||
      !step(ent_->ok("sysctl -qw net.ipv4.ip_forward=1"), "ent forwarding") ||
      !step(srv_->ok(std::string("ip route add default via ") + kRelayOutIP), "srv route") ||
      !step(srv_->ok(std::string("ip route add 192.0.2.0/24 via ") + kRelayOutIP), "srv route"))
    return false;
  for (const char* ip : {kEchoIP, kLearntIP, kAskedDNS, kRuleDNS, kNxDNS})
    if (!step(srv_->ok(std::string("ip addr add ") + ip + "/24 dev s0"), "srv addresses"))
      return false;
  for (const auto& ip : options.moreEntrances)
    if (!step(ent_->ok("ip addr add " + ip + "/24 dev e0"), "more entrance addresses"))
      return false;

  systest::SpawnOptions inEnt;
  inEnt.netns = ent_.get();
  std::vector<std::string> relayArgs{
      TSL_RELAY, "--listen", std::string(kEntranceIP) + ":" + std::to_string(kEntrancePort)};
  for (const auto& ip : options.moreEntrances)
    relayArgs.insert(relayArgs.end(), {"--listen", ip + ":" + std::to_string(kEntrancePort)});
  relayArgs.insert(relayArgs.end(), options.relayArgs.begin(), options.relayArgs.end());
  if (options.relayControl) {
    controlPath_ = (dir_->path() / "relay.control").string();
    relayArgs.insert(relayArgs.end(), {"--control", controlPath_});
  }
  if (!quiet) relayArgs.insert(relayArgs.end(), {"--record", recordFile_});
  // TCP and ICMP leave the relay through a TUN device whose subnet the servers route back.
  relayArgs.insert(relayArgs.end(), {"--tun", "tslr0", "--tun-net", std::string(kRelayTunNet)});
  relay_ = systest::Process::spawn(relayArgs, inEnt);
  if (!step(announced(relay_, "tun tslr0 up"), "the relay did not start") ||
      (options.relayControl &&
       !step(announced(relay_, "standin-relay control"), "the relay's control did not open"))) {
    *why += ": " + relay_.log();
    return false;
  }

  auto at = [](const char* ip, int port) { return std::string(ip) + ":" + std::to_string(port); };
  systest::SpawnOptions inSrv;
  inSrv.netns = srv_.get();
  std::vector<std::string> serverArgs{TSL_SERVERS, "--quiet", quiet ? "1" : "0"};
  serverArgs.insert(
      serverArgs.end(),
      {"--udp", at(kEchoIP, kUdpEchoPort), "--udp", at(kEchoIP, kOtherUdpEchoPort), "--tcp",
       at(kEchoIP, kTcpEchoPort), "--udp", at(kLearntIP, kUdpEchoPort),
       // The asked resolver knows other answers than the one the rules name.
       "--a", "game.example.test=203.0.113.99", "--a", "nx.example.test=203.0.113.99", "--dns",
       at(kAskedDNS, 53), "--a", std::string("game.example.test=") + kLearntIP, "--dns",
       at(kRuleDNS, 53), "--dns", at(kNxDNS, 53) + ",nxdomain"});
  servers_ = systest::Process::spawn(serverArgs, inSrv);
  if (!step(announced(servers_, "serving"), "the servers did not start")) {
    *why += ": " + servers_.log();
    return false;
  }
  // The stub answers a third address, so a test sees which server answered.
  systest::SpawnOptions inCli;
  inCli.netns = cli_.get();
  stub_ = systest::Process::spawn(
      {TSL_SERVERS, "--a", "game.example.test=203.0.113.77", "--dns", at(kStubDNS, 53)}, inCli);
  if (!step(announced(stub_, "serving"), "the DNS stub did not start")) {
    *why += ": " + stub_.log();
    return false;
  }
  return true;
}

int Scene::load() {
  int status = cli_->sh("TAMSEL_RUN_DIR=" + runDir_ + " " + binDir_ + "/zandrel load " + binDir_ +
                        "/tamseld")
                   .status;
  // zandrel answers once the control does; the daemon's chains and queues are registered after
  // it, and its pid file (naming a live process) says they are.
  if (status == 0)
    systest::waitFor(
        [&] {
          auto pid = tamseldPid();
          return pid && ::kill(*pid, 0) == 0;
        },
        5s);
  return status;
}

int Scene::loadFor(uid_t uid) {
  systest::SpawnOptions o;
  o.netns = cli_.get();
  o.env = {"TAMSEL_RUN_DIR=" + runDir_};
  daemon_ = systest::Process::spawn(
      {binDir_ + "/tamseld", "--foreground", "--allow-uid", std::to_string(uid)}, o);
  bool up = systest::waitFor(
      [&] {
        auto pid = tamseldPid();
        return pid && ::kill(*pid, 0) == 0;
      },
      10s);
  return up ? 0 : 1;
}

int Scene::unload() {
  return cli_->sh("TAMSEL_RUN_DIR=" + runDir_ + " " + binDir_ + "/zandrel unload").status;
}

std::optional<int> Scene::tamseldPid() const {
  std::ifstream in(runDir_ + "/tamseld.pid");
  int pid = 0;
  if (in >> pid && pid > 1) return pid;
  return std::nullopt;
}

std::string Scene::admin(const std::string& cmd) const {
  namespace wire = platform::kctl::wire;
  std::string p = wire::admin_path(runDir_, tamsel::abi::kControlName);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (p.size() >= sizeof a.sun_path) return "";
  std::memcpy(a.sun_path, p.c_str(), p.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  std::string out;
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, cmd.data(), cmd.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(cmd.size())) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) out.assign(buf, static_cast<size_t>(n));
  }
  if (fd >= 0) ::close(fd);
  return out;
}

std::string Scene::gameDir() { return TSL_GAME_DIR; }

systest::Process Scene::startGame(const std::string& name, const std::vector<std::string>& args,
                                  uid_t uid) const {
  std::vector<std::string> argv{std::string(TSL_GAME_DIR) + "/" + name};
  argv.insert(argv.end(), args.begin(), args.end());
  systest::SpawnOptions o;
  o.netns = cli_.get();
  o.uid = uid;
  return systest::Process::spawn(argv, o);
}

systest::Result Scene::game(const std::string& name, const std::vector<std::string>& args,
                            uid_t uid) const {
  systest::Process p = startGame(name, args, uid);
  auto code = p.wait(30s);
  systest::Result r;
  r.status = code ? *code : -1;
  r.output = p.log();
  return r;
}

std::string Scene::relayControl(const std::string& line) const {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (controlPath_.empty() || controlPath_.size() >= sizeof a.sun_path) return "";
  std::memcpy(a.sun_path, controlPath_.c_str(), controlPath_.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string out, text = line + "\n";
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char c;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n') out += c;
  }
  if (fd >= 0) ::close(fd);
  return out;
}

std::vector<RelayFrame> Scene::relayFrames() const {
  std::vector<RelayFrame> out;
  std::ifstream in(recordFile_);
  std::string line;
  while (std::getline(in, line)) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    RelayFrame f;
    f.incoming = j.value("dir", "") == "in";
    f.type = j.value("type", 0u);
    f.lengthField = j.value("length", 0u);
    f.size = j.value("size", size_t{0});
    f.body = fromHex(j.value("body", ""));
    f.note = j.value("note", "");
    f.peer = j.value("peer", "");
    f.local = j.value("local", "");
    f.timeMs = j.value("time_ms", int64_t{0});
    if (j.contains("flow_id")) {
      f.decoded = true;
      f.exit = j.value("exit", 0u);
      f.rx = j.value("rx", 0u);
      f.tx = j.value("tx", 0u);
      f.flowId = j.value("flow_id", 0u);
      f.level = j.value("level", 0u);
      f.nat = j.value("nat", "");
    }
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace tsl
