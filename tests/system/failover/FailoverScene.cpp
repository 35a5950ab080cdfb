#include "FailoverScene.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/netext/ControlMessage.h"
#include "standin/AccountServer.h"
#include "standin/GameStandin.h"

namespace failover {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::netext::ControlRequest;
using platform::netext::DaemonMessageKind;
using platform::netext::VpnStatus;

namespace {
constexpr uint32_t kMark = 0x47560034;
constexpr uint32_t kTable = 5134;
constexpr uid_t kOwner = 4234;  // the desktop user; needs no account in the passwd file
constexpr int64_t kGameRule = 11;

// A's paths answer in 5 ms, B's in 40 ms, so both modes pick A while it answers.
const char* kDetectA = "198.51.100.254,*,5000,10,10";
const char* kDetectB = "198.51.100.253,*,40000,10,10";

nlohmann::json entranceJSON(const char* ip, const char* portsKey) {
  return {{"ip", ip}, {portsKey, nlohmann::json::array({tsl::kEntrancePort})}};
}

// "key=value" of a game output line, or nothing.
std::optional<int64_t> field(const std::string& line, const std::string& key) {
  auto at = line.find(" " + key + "=");
  if (at == std::string::npos) return std::nullopt;
  return std::atoll(line.c_str() + at + key.size() + 2);
}
}  // namespace

std::string pairOf(const std::string& ip) { return ip + ":" + std::to_string(tsl::kEntrancePort); }

std::string echoTarget() {
  return std::string(tsl::kEchoIP) + ":" + std::to_string(tsl::kUdpEchoPort);
}

int64_t nowMs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

tsl::SceneOptions sceneOptions(bool quiet) {
  tsl::SceneOptions o;
  o.quiet = quiet;
  o.moreEntrances = {kEntranceB};
  o.relayArgs = {"--detect", kDetectA, "--detect", kDetectB};
  o.relayControl = true;
  return o;
}

std::string setEntrance(const tsl::Scene& scene, const std::string& ip, const std::string& names) {
  return scene.relayControl("switch " + pairOf(ip) + "=" + names);
}

// --- Stream

bool Stream::start(const tsl::Scene& scene, std::chrono::milliseconds limit) {
  process_ = scene.startGame("tslgame", {"--text", "stream", "--stream-ms",
                                         std::to_string(limit.count()), "--stream", echoTarget()});
  return process_.pid() > 0;
}

bool Stream::waitFirstAnswer(std::chrono::milliseconds timeout) {
  return systest::waitFor(
             [&] {
               return process_.log().find("stream first-answer") != std::string::npos ||
                      !process_.running();
             },
             timeout) &&
         process_.log().find("stream first-answer") != std::string::npos;
}

std::vector<Stream::Gap> Stream::gaps() const {
  std::vector<Gap> out;
  std::istringstream in(process_.log());
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("stream gap ", 0) != 0) continue;
    auto ms = field(line, "ms"), from = field(line, "from"), to = field(line, "to");
    if (ms && from && to) out.push_back({*ms, *from, *to});
  }
  return out;
}

std::optional<Stream::Gap> Stream::waitGapEndingAfter(int64_t afterMs,
                                                      std::chrono::milliseconds timeout) {
  std::optional<Gap> found;
  systest::waitFor(
      [&] {
        for (const auto& g : gaps())
          if (g.to > afterMs) {
            found = g;
            return true;
          }
        return !process_.running();
      },
      timeout);
  return found;
}

std::string Stream::stop() {
  if (process_.running()) process_.signal(SIGUSR1);
  process_.wait(5s);
  return process_.log();
}

// --- Services

struct Services::Impl {
  standin::account::AccountServer account;
  standin::GameStandin game;
};

Services::Services() : impl(std::make_unique<Impl>()) {}
Services::~Services() {
  impl->account.stop();
  impl->game.stop();
}

bool Services::start() {
  if (!impl->account.start() || !impl->game.start()) return false;
  standin::account::Account a;
  a.uid = 501;
  a.username = "player";
  a.online = true;
  impl->account.addAccount(a);
  // The service heartbeat names the entrances the tunnel has, so it starts no resolve itself.
  nlohmann::json beat = nlohmann::json::object();
  beat["entrance"] = {entranceJSON(kEntranceA, "ports"), entranceJSON(kEntranceB, "ports")};
  impl->account.scriptPayloads("/q5client/user/heartbeat", {beat, beat, beat, beat});
  return true;
}

std::string Services::accountHost() const { return impl->account.host(); }
std::string Services::gameAddress() const { return impl->game.address(); }

std::vector<std::string> Services::reportedBestEntrances() const {
  std::vector<std::string> out;
  // Line variant: batch reports, one list of paths per rule, best first.
  for (const auto& req : impl->account.requests()) {
    if (req.path.find("path/batch-report") == std::string::npos || !req.info) continue;
    auto paths = req.info->value("paths", nlohmann::json::array());
    if (paths.is_array() && !paths.empty() && paths[0].is_object() &&
        paths[0].value("rule_id", int64_t(0)) == kGameRule)
      out.push_back(paths[0].value("entrance_ip", ""));
  }
  // Game variant: one report per rule id ("offset"), its "info" the paths, best first.
  for (const auto& r : impl->game.pathReports()) {
    auto info = r.value("info", nlohmann::json::array());
    if (info.is_array() && !info.empty() && info[0].is_object())
      out.push_back(info[0].value("enterIp", ""));
  }
  return out;
}

const char* nameOf(Variant v) { return v == Variant::Line ? "line" : "game"; }

// --- Tunnel

Tunnel::~Tunnel() {
  control_.close();
  daemon_ = systest::Process();
}

std::string Tunnel::start(Variant v, const Services& services) {
  dir_ = std::make_unique<systest::TempDir>("failover-tunnel");
  fs::permissions(dir_->path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  const fs::path group = dir_->path() / "group.failover";
  fs::create_directories(group);
  if (::chown(group.c_str(), kOwner, kOwner) != 0) return "cannot hand the container over";
  const std::string controlPath = (dir_->path() / "control").string();

  const nlohmann::json exits = nlohmann::json::array({{{"addr", "3-7"}, {"nat", kExitNat}}});
  nlohmann::json launch = {{"tunnelOptions",
                            {{"dnsServer", tsl::kAskedDNS},
                             {"groupIdentifier", "group.failover"},
                             {"errorFile", "error.txt"},
                             {"ipDataFile", ""},
                             {"logEnable", true},
                             {"logFlowGroupHeartbeat", true},
                             {"observeInterfaceChange", false},
                             {"MTU", 1400}}}};
  if (v == Variant::Line) {
    nlohmann::json speedInfo = {
        {"flow_id", 31},
        {"down_stream_limit", 100},
        {"up_stream_limit", 200},
        {"entrance", {entranceJSON(kEntranceA, "ports"), entranceJSON(kEntranceB, "ports")}},
        {"rules",
         {{{"id", kGameRule},
           {"exits", exits},
           {"traffic_level", kGameFlowLevel},
           {"group_name", "game"},
           {"process", {"*"}},
           {"protocol", {"udp"}},
           {"port", {std::to_string(tsl::kUdpEchoPort)}},
           {"destination_ip_domain", {tsl::kEchoIP}}}}}};
    launch["tssession"] = {{"baseDomain", services.accountHost()},
                           {"mac", "02:00:00:00:00:34"},
                           {"userInfo", {{"uid", 501}}},
                           {"speedInfo", speedInfo}};
  } else {
    nlohmann::json speedInfo = {
        {"flow_id", 32},
        {"vni-array",
         {{{"id", kGameRule},
           {"traffic_level", kGameFlowLevel},
           {"up_stream_limit", 200},
           {"down_stream_limit", 100},
           {"entrance", {entranceJSON(kEntranceA, "port"), entranceJSON(kEntranceB, "port")}},
           {"exits", exits},
           {"dest",
            {{{"process", "*"},
              {"host", tsl::kEchoIP},
              {"port", std::to_string(tsl::kUdpEchoPort)},
              {"protocol", "UDP"}}}}}}}};
    launch["q5session"] = {{"baseDomain", services.gameAddress()},
                           {"mac", "02:00:00:00:00:34"},
                           {"clientIP", tsl::kClientIP},
                           {"appVersion", "1.2.3"},
                           {"gameId", 77},
                           {"entrance", kEntranceA},
                           {"userInfo", {{"uid", 10001}, {"token", "tok-1"}}},
                           {"speedInfo", speedInfo}};
  }

  systest::SpawnOptions o;
  o.netns = &scene_.cli();
  daemon_ = systest::Process::spawn(
      {GALVENT_TUNNEL_PATH, "--control", controlPath, "--owner-uid", std::to_string(kOwner),
       "--container-root", dir_->path().string(), "--dns-config", "none", "--mark",
       std::to_string(kMark), "--table", std::to_string(kTable)},
      o);
  if (!systest::waitFor([&] { return control_.connect(controlPath) == 0; }, 5s))
    return "the daemon never listened: " + daemon_.log();
  if (control_.send(ControlRequest::start(launch)) != 0) return "cannot send start";
  statuses_.clear();
  const auto started = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - started < 10s) {
    auto m = control_.receiveKind(DaemonMessageKind::Status, 1s);
    if (!m) continue;
    if (m->status == VpnStatus::Connected) return "";
    if (m->status == VpnStatus::Disconnected && m->error)
      return "start failed: " + m->error->description + "\n" + daemon_.log();
  }
  return "no status 3 within 10 s:\n" + daemon_.log();
}

std::vector<VpnStatus> Tunnel::statuses() {
  while (auto m = control_.receive(0ms))
    if (m->kind == DaemonMessageKind::Status) statuses_.push_back(m->status);
  return statuses_;
}

std::optional<int> Tunnel::stop() {
  if (!control_.connected() || control_.send(ControlRequest::stop(1)) != 0) return std::nullopt;
  auto code = daemon_.wait(10s);
  control_.close();
  return code;
}

// --- Relay records

Traffic trafficOn(const std::vector<tsl::RelayFrame>& frames, const std::string& entranceIP,
                  int64_t sinceMs) {
  Traffic t;
  const std::string local = pairOf(entranceIP);
  for (const auto& f : frames) {
    if (f.local != local || f.timeMs < sinceMs) continue;
    if (f.type == 500 && f.incoming) {
      bool beat = f.body.size() >= 2 && f.body[0] == '_' && f.body[1] == '_';
      (beat ? t.heartbeatsIn : t.probesIn)++;
      continue;
    }
    if (f.type == 300 && f.incoming) {
      ++t.detectsIn;
      continue;
    }
    if (f.type != 400 && f.type != 401) continue;
    auto in = tsl::innerOf(f);
    if (!in || in->protocol != 17) continue;
    if (f.type == 400 && f.incoming && in->dst == tsl::kEchoIP) {
      if (!t.framesIn++) t.first400 = f.timeMs;
    } else if (f.type == 401 && !f.incoming && in->src == tsl::kEchoIP) {
      if (!t.answersOut++) t.firstAnswer = f.timeMs;
    }
  }
  return t;
}

int64_t switchedAt(const std::vector<tsl::RelayFrame>& frames, const std::string& entranceIP,
                   const std::string& names, int64_t sinceMs) {
  for (const auto& f : frames)
    if (f.local == pairOf(entranceIP) && f.note == "switch " + names && f.timeMs >= sinceMs)
      return f.timeMs;
  return 0;
}

}  // namespace failover
