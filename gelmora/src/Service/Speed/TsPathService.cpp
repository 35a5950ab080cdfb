#include "gelmora/Service/Speed/TsPathService.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Web/TsHttpHelper.h"

namespace {

std::mutex& hooksMutex() {
  static std::mutex m;
  return m;
}
TsPathService::Hooks& installedHooks() {
  static TsPathService::Hooks h;
  return h;
}
TsPathService::Hooks currentHooks() {
  std::lock_guard lock(hooksMutex());
  return installedHooks();
}

// Texts from the service may not be valid UTF-8: replace rather than throw.
std::string dumpJson(const nlohmann::json& j, int indent) {
  return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string lossText(double lost, const char* format) {
  char buf[32];
  std::snprintf(buf, sizeof buf, format, lost);
  return buf;
}

// "from [<entrance>:<port>] to [<nat ip>:<addr>] --- delay:<d> lost:<l>%"
std::string pathLine(const TsPathObject& p) {
  return "from [" + p.entrance().ip() + ":" + std::to_string(p.entrance().port()) + "] to [" +
         p.exit().ipAddress() + ":" + p.exit().addr() + "] --- delay:" + std::to_string(p.delay()) +
         " lost:" + std::to_string(static_cast<int>(std::clamp(p.lost(), 0.0, 100.0))) + "%";
}

// A figure of the answer as a double; none when absent, not a number or not finite.
std::optional<double> figure(const nlohmann::json& answer, const char* key) {
  auto it = answer.find(key);
  if (it == answer.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

// Shared between the measuring thread and the probe threads of one round. Each probe writes only
// its own slot; the socket of a running probe is published here so that the deadline can stop it.
struct Round {
  struct Slot {
    int fd = -1;
    bool done = false;
    bool cancelled = false;
    TsPathService::ProbeResult result;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Slot> slots;
  std::size_t finished = 0;

  void finish(std::size_t i, TsPathService::ProbeResult r) {
    std::lock_guard lock(mutex);
    slots[i].result = r;
    slots[i].done = true;
    ++finished;
    changed.notify_all();
  }
};

class ProbeSocket {
 public:
  ProbeSocket(Round* round, std::size_t slot) : round_(round), slot_(slot) {}
  ~ProbeSocket() {
    if (fd_ < 0) return;
    // Unpublish before closing, so the deadline never shuts down a reused descriptor.
    if (round_) {
      std::lock_guard lock(round_->mutex);
      round_->slots[slot_].fd = -1;
    }
    ::close(fd_);
  }
  ProbeSocket(const ProbeSocket&) = delete;
  ProbeSocket& operator=(const ProbeSocket&) = delete;

  // False when the socket could not be made or the round already gave up on this probe.
  bool open() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (!round_) return true;
    std::lock_guard lock(round_->mutex);
    round_->slots[slot_].fd = fd_;
    return !round_->slots[slot_].cancelled;
  }
  // A shutdown of an unconnected socket does not wake a later read: check again once connected.
  bool stillWanted() const {
    if (!round_) return true;
    std::lock_guard lock(round_->mutex);
    return !round_->slots[slot_].cancelled;
  }
  int fd() const { return fd_; }

 private:
  Round* round_;
  std::size_t slot_;
  int fd_ = -1;
};

TsPathService::ProbeResult probePath(const TsPathObject& path,
                                     const std::vector<std::uint8_t>& frame, Round* round,
                                     std::size_t slot) {
  const TsPathService::ProbeResult failed;
  ProbeSocket sock(round, slot);
  if (!sock.open()) {
    if (sock.fd() < 0) LOG::console("socket初始化失败");
    return failed;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(path.entrance().port());
  if (path.entrance().port() == 0 ||
      ::inet_pton(AF_INET, path.entrance().ip().c_str(), &addr.sin_addr) != 1 ||
      ::connect(sock.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    LOG::console("socket连接失败");
    return failed;
  }
  const auto timeout = Timing::current().pathProbe;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (::setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    LOG::console("socket设置超时时间失败");
    return failed;
  }
  if (!sock.stillWanted()) return failed;
  if (frame.size() > Q5Protocol::kHeaderSize) {
    LOG::console("探测请求信息：" +
                 std::string(frame.begin() + Q5Protocol::kHeaderSize, frame.end()));
  }
  // The entrance reads requests into a 1024-byte body; a longer one would arrive cut.
  if (frame.size() > Q5Protocol::kHeaderSize + TsPathService::kMaxProbeBody) {
    LOG::console("探测请求过长 " + std::to_string(frame.size()));
    return failed;
  }
  (void)::send(sock.fd(), frame.data(), frame.size(), MSG_NOSIGNAL);
  (void)::send(sock.fd(), frame.data(), frame.size(), MSG_NOSIGNAL);
  std::uint8_t buffer[1024 + 1];
  const ssize_t n = ::recv(sock.fd(), buffer, sizeof buffer - 1, 0);
  TsPathService::ProbeResult result = failed;
  if (n > 0) {
    const std::span datagram(buffer, static_cast<std::size_t>(n));
    result = TsPathService::readProbeAnswer(datagram);
  }
  TsPathObject measured = path;
  measured.setDelay(result.delay);
  measured.setLost(result.lost);
  LOG::console(pathLine(measured));
  return result;
}

}  // namespace

void TsPathService::setHooks(Hooks hooks) {
  std::lock_guard lock(hooksMutex());
  installedHooks() = std::move(hooks);
}

TsPathService::~TsPathService() {
  reportCancel_->store(true);
  waitForReport();
}

void TsPathService::waitForReport() {
  if (reportThread_.joinable()) reportThread_.join();
}

void TsPathService::addPath(const EntranceServer& entrance, const ExitServer& exit) {
  pathArray_.emplace_back(entrance, exit);
}

std::vector<std::uint8_t> TsPathService::probeFrame(const TsPathObject& path, std::int64_t flowId) {
  return Q5Protocol::detectPacketWithExit(path.exit().addr(), flowId, 1, path.exit().nat(),
                                          "127.0.0.1", "B");
}

TsPathService::ProbeResult TsPathService::readProbeAnswer(std::span<const std::uint8_t> datagram) {
  const ProbeResult failed;
  if (datagram.size() < Q5Protocol::kHeaderSize) return failed;
  if (Q5Protocol::loadU32(datagram.data()) != datagram.size() ||
      Q5Protocol::loadU32(datagram.data() + 4) != Q5Protocol::kDetectAnswer) {
    return failed;
  }
  const auto body = datagram.subspan(Q5Protocol::kHeaderSize);
  LOG::console(std::string(body.begin(), body.end()));
  const auto answer = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (!answer.is_object()) return failed;
  // A delay that is absent, not a number, negative or beyond what an int32 holds is no
  // measurement at all.
  const auto delayUs = figure(answer, "delay");
  if (!delayUs || *delayUs < 0) return failed;
  const double ms = std::trunc(*delayUs / 1000.0);
  if (ms > static_cast<double>(std::numeric_limits<std::int32_t>::max())) return failed;
  ProbeResult r;
  r.delay = std::max<std::int32_t>(1, static_cast<std::int32_t>(ms));
  const double total = figure(answer, "total_count").value_or(0);
  const double reply = figure(answer, "reply_count").value_or(0);
  if (total > 0 && reply > 0) {
    r.lost = std::clamp((total - reply) / total * 100, 0.0, 100.0);
  } else {
    r.lost = 100;
  }
  return r;
}

TsPathService::ProbeResult TsPathService::threadVelocityMeasurement(
    const TsPathObject& path, const std::vector<std::uint8_t>& frame) {
  return probePath(path, frame, nullptr, 0);
}

bool TsPathService::VelocityMeasurement() {
  std::vector<TsPathObject> distinct;
  for (const auto& p : pathArray_) {
    bool seen = false;
    for (const auto& d : distinct) seen = seen || d.isEqualToPath(p);
    if (!seen) distinct.push_back(p);
  }
  LOG::console("开始B段探测,一共有 " + std::to_string(distinct.size()) + " 条不重复路径");

  const Hooks hooks = currentHooks();
  const std::int64_t flowId = TsParams::getUid();
  Round round;
  round.slots.resize(distinct.size());
  std::vector<std::thread> threads;
  threads.reserve(distinct.size());
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    auto frame = probeFrame(distinct[i], flowId);
    try {
      threads.emplace_back([&round, &hooks, i, path = distinct[i], frame = std::move(frame)] {
        round.finish(i, hooks.probe ? hooks.probe(path, frame) : probePath(path, frame, &round, i));
      });
    } catch (const std::system_error& e) {
      // Out of threads: this path alone counts as failed.
      LOG::console(std::string("路径探测线程创建失败 ") + e.what());
      round.finish(i, ProbeResult{});
    }
  }

  // Wait for every probe or the deadline, whichever comes first; then stop what still runs.
  std::vector<ProbeResult> results(distinct.size());
  {
    std::unique_lock lock(round.mutex);
    const auto deadline = std::chrono::steady_clock::now() + Timing::current().pathWait;
    round.changed.wait_until(lock, deadline, [&] { return round.finished == round.slots.size(); });
    for (std::size_t i = 0; i < round.slots.size(); ++i) {
      auto& slot = round.slots[i];
      if (slot.done) {
        results[i] = slot.result;
        continue;
      }
      slot.cancelled = true;
      if (slot.fd >= 0) ::shutdown(slot.fd, SHUT_RD);
      LOG::console("路径探测超时 " + pathLine(distinct[i]));
    }
  }
  for (auto& t : threads) t.join();

  for (auto& p : pathArray_) {
    for (std::size_t i = 0; i < distinct.size(); ++i) {
      if (distinct[i].isEqualToPath(p)) {
        p.setDelay(results[i].delay);
        p.setLost(results[i].lost);
        break;
      }
    }
  }
  sortPaths(pathArray_);
  reportPathOfResult(pathArray_);
  return true;
}

void TsPathService::sortPaths(std::vector<TsPathObject>& paths) {
  auto key = [](const TsPathObject& p) {
    return static_cast<std::int64_t>(p.entrance().delay()) + p.delay();
  };
  for (std::size_t i = 0; i < paths.size(); ++i) {
    for (std::size_t j = i + 1; j < paths.size(); ++j) {
      if (key(paths[j]) < key(paths[i])) std::swap(paths[i], paths[j]);
    }
  }
}

std::string TsPathService::reportBody(const std::vector<TsPathObject>& paths, std::int32_t uid,
                                      const std::string& mac, const std::string& flowId) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& p : paths) {
    list.push_back({
        {"uid", std::to_string(uid)},
        {"mac", mac},
        {"flow_id", flowId},
        {"entrance_ip", p.entrance().ip()},
        {"entrance_port", std::to_string(p.entrance().port())},
        {"exit_addr", p.exit().addr()},
        {"exit_nat", p.exit().nat()},
        {"delay_a", std::to_string(p.entrance().delay())},
        {"delay_b", std::to_string(p.delay())},
        {"lost_a", "0"},
        {"lost_b", lossText(p.lost(), "%.0f")},
        {"traffic_level", std::to_string(p.exit().level())},
        {"rule_id", std::to_string(p.exit().rule_id())},
    });
  }
  return dumpJson(list, 2);
}

void TsPathService::reportPathOfResult(const std::vector<TsPathObject>& paths) {
  waitForReport();
  const Hooks hooks = currentHooks();
  const std::int32_t uid = TsParams::getUid();
  const std::string flowId = TsParams::getFlowId();
  try {
    reportThread_ = std::thread([paths, uid, flowId, send = hooks.report, cancel = reportCancel_] {
      const std::string body = reportBody(paths, uid, TsSystemInformation::macAddress(), flowId);
      if (send) {
        send(kReportPath, body);
        return;
      }
      TQError error;
      (void)TsHttpHelper::POST_JSON(kReportPath, body, &error, cancel.get());
    });
  } catch (const std::system_error& e) {
    LOG::console(std::string("路径上报线程创建失败 ") + e.what());
  }
}

std::optional<TsPathObject> TsPathService::getPathWithOffset(std::int32_t offset) const {
  const TsPathObject* best = nullptr;
  for (const auto& p : pathArray_) {
    if (p.exit().flowGroupId() != offset) continue;
    if (!best || p.delay() < best->delay()) best = &p;
  }
  if (!best) {
    LOG::console("获取路径失败，offset=" + std::to_string(offset));
    return std::nullopt;
  }
  LOG::console("获取路径成功 " + pathLine(*best));
  return *best;
}
