#include "Galvent/Tunnel/Base/Flow/GVFlowGroup.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <nlohmann/json.hpp>

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "Galvent/Utils/GVQueueFactory.h"
#include "platform/dispatch/Queue.h"

namespace dispatch = platform::dispatch;

namespace {

std::mutex gRandomMutex;
std::mt19937& randomEngine() {
  static std::mt19937 engine{std::random_device{}()};
  return engine;
}

size_t randomIndex(size_t count) {
  std::lock_guard lock(gRandomMutex);
  std::uniform_int_distribution<size_t> pick(0, count - 1);
  return pick(randomEngine());
}

std::chrono::nanoseconds seconds(double s) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
}

// A whole decimal number, or nothing (empty text, other characters, out of range).
std::optional<int64_t> decimal(std::string_view text) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::string shortText(std::span<const uint8_t> body) {
  // Answers are logged, but a hostile one must not flood the log.
  constexpr size_t kMax = 1024;
  std::string s(body.begin(), body.begin() + std::min(body.size(), kMax));
  if (body.size() > kMax) s += "...";
  return s;
}

}  // namespace

GVFlowGroup::GVFlowGroup(std::vector<GVEntrance> entrances, std::vector<GVExit> exits,
                         int64_t flowLevel, int64_t flowId, uint16_t rx, uint16_t tx,
                         std::string groupName)
    : flowId_(flowId),
      groupName_(std::move(groupName)),
      flowLevel_(flowLevel),
      rx_(rx),
      tx_(tx),
      entrances_(std::move(entrances)),
      exits_(std::move(exits)),
      clock_(dispatch::defaultClock()) {}

GVFlowGroup::~GVFlowGroup() {
  timer_.cancel();
  for (auto& t : resolveTimers_) t.cancel();
  std::lock_guard lock(socketMapMutex_);
  for (auto& [ip, socket] : socketMap_) socket->disconnect();
  if (path_ && path_->socket) path_->socket->disconnect();
}

void GVFlowGroup::setRandomSeed(uint32_t seed) {
  std::lock_guard lock(gRandomMutex);
  randomEngine().seed(seed);
}

void GVFlowGroup::setDelegate(std::weak_ptr<GVFlowGroupDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<GVFlowGroupDelegate> GVFlowGroup::delegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

std::vector<GVEntrance> GVFlowGroup::entrances() const {
  std::lock_guard lock(entrancesMutex_);
  return entrances_;
}

void GVFlowGroup::setEntrances(std::vector<GVEntrance> entrances) {
  std::lock_guard lock(entrancesMutex_);
  entrances_ = std::move(entrances);
}

std::shared_ptr<const GVFlowGroup::Path> GVFlowGroup::path() const {
  std::lock_guard lock(pathMutex_);
  return path_;
}

std::optional<GVEntrance> GVFlowGroup::resolveEntrance() const {
  auto p = path();
  if (!p) return std::nullopt;
  return p->entrance;
}

std::optional<GVExit> GVFlowGroup::resolveExit() const {
  auto p = path();
  if (!p) return std::nullopt;
  return p->exit;
}

uint16_t GVFlowGroup::socketPort() const {
  auto p = path();
  return p && p->socket ? p->socket->port() : 0;
}

std::optional<int64_t> GVFlowGroup::ruleId() const {
  std::lock_guard lock(ruleMutex_);
  return ruleId_;
}

void GVFlowGroup::setRuleId(int64_t id) {
  std::lock_guard lock(ruleMutex_);
  ruleId_ = id;
}

std::vector<int64_t> GVFlowGroup::ruleIds() const {
  std::lock_guard lock(ruleMutex_);
  return ruleIds_;
}

void GVFlowGroup::addRuleId(int64_t id) {
  std::lock_guard lock(ruleMutex_);
  ruleIds_.push_back(id);
}

double GVFlowGroup::now() const {
  return std::chrono::duration<double>(clock_->now().time_since_epoch()).count();
}

std::string GVFlowGroup::keyForEntrance(const GVEntrance& entrance, const GVExit& exit) {
  return entrance.ip + "|" + exit.nat;
}

std::string GVFlowGroup::description() const {
  return "<GVFlowGroup " + std::to_string(groupKeyId_) + " \"" + groupName_ + "\" level " +
         std::to_string(flowLevel_) + " status " + std::to_string(status()) + ">";
}

void GVFlowGroup::setStatus(int64_t status) { statusChanged(status_.exchange(status), status); }

void GVFlowGroup::statusChanged(int64_t old, int64_t status) {
  GVLogInfo("FlowGroup " + std::to_string(groupKeyId_) +
            ", status changed to: " + std::to_string(status));
  // The heartbeat follows status 4: on while running, off as soon as it leaves.
  std::weak_ptr<GVFlowGroup> weak = weak_from_this();
  if (status == kStatusRunning) {
    GVQueueFactory::getQueue()->async([weak] {
      if (auto self = weak.lock()) self->startHeartBeat();
    });
  } else if (old == kStatusRunning) {
    GVQueueFactory::getQueue()->async([weak] {
      if (auto self = weak.lock()) self->stopHeartBeat();
    });
  }
}

void GVFlowGroup::closeSockets(const std::shared_ptr<MZSpeedUDPSocket>& keep) {
  std::lock_guard lock(socketMapMutex_);
  for (auto& [ip, socket] : socketMap_)
    if (socket != keep) socket->disconnect();
  socketMap_.clear();
}

void GVFlowGroup::startResolving() {
  uint64_t generation = ++generation_;
  timeoutHeartBeatCounter_ = 0;
  heartbeatSent_ = 0;
  heartbeatRecived_ = 0;
  setStatus(kStatusResolving);
  GVLogInfo(std::to_string(groupKeyId_) + " start resolving");

  for (auto& t : resolveTimers_) t.cancel();
  resolveTimers_.clear();
  // The chosen socket keeps carrying heartbeats until this resolve's scoring replaces it.
  auto current = path();
  closeSockets(current ? current->socket : nullptr);
  heartBeatResultMap_.clear();
  {
    std::lock_guard lock(detectMutex_);
    BDetectResultMap_.clear();
  }
  probeNumber_ = 0;
  resolvingEntrances_ = entrances();

  std::weak_ptr<GVFlowGroup> weak = weak_from_this();
  for (const GVEntrance& entrance : resolvingEntrances_) {
    if (entrance.ports.empty()) {
      GVLogError("FlowGroup " + std::to_string(groupKeyId_) + ": entrance " + entrance.ip +
                 " has no ports, skipped");
      continue;
    }
    uint16_t port = entrance.ports[randomIndex(entrance.ports.size())];
    auto socket = MZSpeedUDPSocket::initWithHost(entrance.ip, port, weak);
    if (!socket) {
      GVLogError("FlowGroup " + std::to_string(groupKeyId_) + ": no socket to " + entrance.ip +
                 ":" + std::to_string(port));
      continue;
    }
    std::lock_guard lock(socketMapMutex_);
    auto& slot = socketMap_[entrance.ip];
    if (slot && (!current || slot != current->socket)) slot->disconnect();
    slot = std::move(socket);
  }

  auto main = dispatch::mainQueue();
  for (int64_t round = 0; round < static_cast<int64_t>(heartBeatCount_); ++round) {
    resolveTimers_.push_back(dispatch::after(
        seconds(1.0), main,
        [weak, generation, round] {
          if (auto self = weak.lock()) self->probeRound(generation, round);
        },
        clock_));
  }
  for (double at : {1.00, 1.03}) {
    resolveTimers_.push_back(dispatch::after(
        seconds(at), main,
        [weak, generation] {
          if (auto self = weak.lock()) self->detectWave(generation);
        },
        clock_));
  }
  resolveTimers_.push_back(dispatch::after(
      seconds(resolveDuration_), main,
      [weak, generation] {
        if (auto self = weak.lock()) self->scoreIfCurrent(generation);
      },
      clock_));
}

std::shared_ptr<MZSpeedUDPSocket> GVFlowGroup::socketFor(const std::string& ip) const {
  std::lock_guard lock(socketMapMutex_);
  auto it = socketMap_.find(ip);
  return it == socketMap_.end() ? nullptr : it->second;
}

void GVFlowGroup::probeRound(uint64_t generation, int64_t round) {
  if (generation != generation_.load()) return;
  for (const GVEntrance& entrance : resolvingEntrances_) {
    std::shared_ptr<MZSpeedUDPSocket> socket = socketFor(entrance.ip);
    if (!socket) continue;
    ++probeNumber_;
    Q5HeartBeatItem item;
    item.packetId = round;
    item.host = entrance.ip;
    item.sendTimestamp = now();
    heartBeatResultMap_[probeNumber_] = item;
    socket->writeData(Q5Protocol::heartBeatPacketWithMessage(std::to_string(probeNumber_)));
  }
}

void GVFlowGroup::detectWave(uint64_t generation) {
  if (generation != generation_.load()) return;
  for (const GVEntrance& entrance : resolvingEntrances_) {
    std::shared_ptr<MZSpeedUDPSocket> socket = socketFor(entrance.ip);
    if (!socket) continue;
    for (const GVExit& exit : exits_) {
      socket->writeData(Q5Protocol::detectPacketWithExit(exit.addr, flowId_, flowLevel_, exit.nat,
                                                         entrance.ip, "B"));
    }
  }
}

void GVFlowGroup::scoreIfCurrent(uint64_t generation) {
  if (generation != generation_.load()) return;
  setStatus(kStatusScoring);
  finishResolving();
}

void GVFlowGroup::didReceiveData(std::span<const uint8_t> data, const std::string&,
                                 MZSpeedUDPSocket&) {
  processRespData(data);
}

void GVFlowGroup::processRespData(std::span<const uint8_t> data) {
  auto type = Q5Protocol::lookupTypeWithPacket(data);
  auto body = Q5Protocol::unwrapDataWithPacket(data);
  if (!type || !body) return;
  std::weak_ptr<GVFlowGroup> weak = weak_from_this();
  uint64_t generation = generation_.load();
  switch (*type) {
    case Q5Protocol::kDetectAnswer: {
      if (status() != kStatusResolving) return;
      GVLogger::logFlowGroupServerResp(std::to_string(groupKeyId_), shortText(*body));
      dispatch::postToMain(
          [weak, generation, bytes = std::vector<uint8_t>(body->begin(), body->end())]() mutable {
            if (auto self = weak.lock()) self->handleDetectAnswer(std::move(bytes), generation);
          });
      return;
    }
    case Q5Protocol::kIPPacketAnswer: {
      if (auto d = delegate())
        d->flowPacket(std::vector<uint8_t>(body->begin(), body->end()), *this);
      return;
    }
    case Q5Protocol::kEchoAnswer: {
      std::string text(body->begin(), body->end());
      double stamp = now();
      if (text.starts_with("__")) {
        GVQueueFactory::getQueue()->async([weak, text = std::move(text), stamp] {
          if (auto self = weak.lock()) self->handleHeartbeatAnswer(text, stamp);
        });
        return;
      }
      if (status() != kStatusResolving) return;
      dispatch::postToMain([weak, text = std::move(text), stamp, generation] {
        if (auto self = weak.lock()) self->handleProbeAnswer(text, stamp, generation);
      });
      return;
    }
    default:
      return;
  }
}

void GVFlowGroup::handleDetectAnswer(std::vector<uint8_t> body, uint64_t generation) {
  if (generation != generation_.load() || status() != kStatusResolving) return;
  std::string error;
  auto item = Q5DetectItem::initWithJSONData(body, &error);
  if (!item) {
    GVLogError("FlowGroup " + std::to_string(groupKeyId_) + ": dropped detect answer: " + error);
    return;
  }
  GVLogInfo("item = " + item->description());
  std::lock_guard lock(detectMutex_);
  BDetectResultMap_[item->itemKey] = *item;
}

void GVFlowGroup::handleProbeAnswer(std::string text, double stamp, uint64_t generation) {
  if (generation != generation_.load() || status() != kStatusResolving) return;
  auto number = decimal(text);
  if (!number) return;
  auto it = heartBeatResultMap_.find(*number);
  if (it != heartBeatResultMap_.end()) it->second.reciveTimestamp = stamp;
}

void GVFlowGroup::handleHeartbeatAnswer(std::string text, double stamp) {
  timeoutHeartBeatCounter_ = 0;
  ++heartbeatRecived_;
  auto number = decimal(std::string_view(text).substr(2));
  int64_t delay = kOlderHeartbeatDelay;
  if (number && *number >= timeoutHeartBeatId_.load()) {
    double ms = (stamp - lastHeartBeatStamp_) * 1000.0 + 1e-6;  // see Q5HeartBeatItem::delayMs
    delay = ms < 0 ? 0 : ms > 2.0e9 ? INT32_MAX : static_cast<int64_t>(ms);
  }
  heartbeatDelay_ = static_cast<int32_t>(delay);
  GVLogger::logFlowGroupHeartbeatNote(
      std::to_string(groupKeyId_), "recive heartbeat " + (number ? std::to_string(*number) : text) +
                                       " delay: " + std::to_string(delay));
}

void GVFlowGroup::finishResolving() {
  std::map<std::string, int64_t> totalDelay;
  std::map<std::string, int64_t> totalReply;
  for (const auto& [number, item] : heartBeatResultMap_) {
    int64_t delay = item.delayMs();
    if (delay < 0) {
      GVLogError("delay < 0 " + std::to_string(delay) + ", " + item.description());
      continue;
    }
    totalDelay[item.host] += delay;
    totalReply[item.host] += 1;
  }
  GVLogInfo("totalReplyMap = " + nlohmann::json(totalReply).dump());
  GVLogInfo("totalDelayMap = " + nlohmann::json(totalDelay).dump());

  std::map<std::string, Q5DetectItem> detects = BDetectResultMap();
  std::map<std::string, std::shared_ptr<MZSpeedUDPSocket>> sockets;
  {
    std::lock_guard lock(socketMapMutex_);
    sockets = socketMap_;
  }
  std::vector<GVResolveResultItem> results;
  const double count = heartBeatCount_;
  for (const GVEntrance& entrance : resolvingEntrances_) {
    // Entrances that could not be probed (no ports, no socket) give no pairs.
    if (!sockets.contains(entrance.ip)) continue;
    int64_t replies = totalReply[entrance.ip];
    int64_t aDelay = replies != 0
                         ? static_cast<int64_t>(static_cast<float>(totalDelay[entrance.ip]) /
                                                static_cast<float>(count))
                         : 3000;
    int64_t aLost = static_cast<int64_t>((count - static_cast<double>(replies)) * 100.0 / count);
    int64_t aScore = static_cast<int64_t>((static_cast<double>(aLost) / 100.0 + 1.0) *
                                          static_cast<double>(aDelay));
    for (const GVExit& exit : exits_) {
      GVResolveResultItem r;
      r.entrance = entrance;
      r.exit = exit;
      r.flowLevel = flowLevel_;
      r.ADelay = aDelay;
      r.ALost = aLost;
      r.AScore = aScore;
      auto it = detects.find(keyForEntrance(entrance, exit));
      if (it != detects.end()) {
        r.BDelay = it->second.delay;
        r.BLost = it->second.loss;
      } else {
        GVLogError("There is no B detect packet back!");
        r.BDelay = 3000;
        r.BLost = 100;
      }
      r.BScore = static_cast<int64_t>((static_cast<double>(r.BLost) / 100.0 + 1.0) *
                                      static_cast<double>(r.BDelay));
      r.score = r.AScore + r.BScore;
      results.push_back(std::move(r));
    }
  }
  auto describe = [](const std::vector<GVResolveResultItem>& list) {
    std::string s = "[";
    for (const auto& r : list) s += (s.size() > 1 ? ", " : "") + r.description();
    return s + "]";
  };
  GVLogInfo("allResults = " + describe(results));
  std::stable_sort(results.begin(), results.end(),
                   [](const auto& a, const auto& b) { return a.score < b.score; });
  GVLogInfo("orderedResults = " + describe(results));

  auto delegate = this->delegate();
  if (!results.empty()) {
    GVResolveResultItem& best = results.front();
    auto socket = sockets[best.entrance.ip];
    socket->setDelegate(weak_from_this());
    best.port = socket->port();
    auto next = std::make_shared<Path>(Path{
        socket, best.entrance, best.exit,
        Q5Protocol::IPPacketHeaderWithExit(best.exit.addr, tx_, rx_, static_cast<uint32_t>(flowId_),
                                           static_cast<uint8_t>(flowLevel_), best.exit.nat)});
    std::shared_ptr<const Path> previous;
    {
      std::lock_guard lock(pathMutex_);
      previous = std::exchange(path_, next);
    }
    // The old chosen socket belongs to no resolve any more unless it was picked again.
    if (previous && previous->socket && previous->socket != socket &&
        !std::any_of(sockets.begin(), sockets.end(),
                     [&](const auto& kv) { return kv.second == previous->socket; })) {
      previous->socket->disconnect();
    }
    setStatus(kStatusResolved);
    if (delegate) delegate->finishResolving(best, *this);
  } else {
    setStatus(kStatusFailed);
    if (delegate) delegate->flowGroupFaildResolving(*this);
  }
  if (delegate) delegate->finishResolvingWithAllResults(results, *this);
}

bool GVFlowGroup::inputPacket(std::span<const uint8_t> packet) {
  auto p = path();
  int64_t s = status();
  if (s < kStatusResolved || !p || !p->socket) {
    GVLogInfo("FlowGroup: " + std::to_string(groupKeyId_) + " is not ready or no socket can use.");
    return false;
  }
  // Only the first packet moves 3 to 4, so the heartbeat starts once.
  int64_t expected = kStatusResolved;
  if (status_.compare_exchange_strong(expected, kStatusRunning))
    statusChanged(kStatusResolved, kStatusRunning);
  if (!p->header) {
    GVLogInfo("nat ipv4 can't be nil");
    return false;
  }
  Q5Protocol::IPPacketHeader header = *p->header;
  Q5Protocol::setIPPacketLength(header, packet.size());
  p->socket->writeData(header, packet);
  return true;
}

void GVFlowGroup::startHeartBeat() {
  GVLogger::logFlowGroupHeartbeatNote(std::to_string(groupKeyId_), "sart heartbeat");
  if (timer_.isValid() && !timer_.isCancelled()) return;
  std::weak_ptr<GVFlowGroup> weak = weak_from_this();
  dispatch::RepeatOptions options;
  options.fireImmediately = true;
  options.leeway = std::chrono::seconds(1);
  timer_ = dispatch::repeating(
      std::chrono::seconds(2), GVQueueFactory::getQueue(),
      [weak] {
        if (auto self = weak.lock()) self->doHeartBeat();
      },
      options, clock_);
}

void GVFlowGroup::stopHeartBeat() {
  GVLogger::logFlowGroupHeartbeatNote(std::to_string(groupKeyId_), "stop heartbeat");
  timer_.cancel();
  timer_ = {};
}

void GVFlowGroup::doHeartBeat() {
  auto p = path();
  if (!p || !p->socket) return;
  if (timeoutHeartBeatCounter_.load() >= kHeartbeatLossLimit) {
    GVLogger::logFlowGroupHeartbeatNote(
        std::to_string(groupKeyId_),
        "no resp heartbeat " + std::to_string(timeoutHeartBeatCounter_.load()));
    setStatus(kStatusHeartbeatLost);
    // Resolving touches the probe maps, which live on the main queue.
    dispatch::postToMain([weak = weak_from_this()] {
      if (auto self = weak.lock()) {
        if (self->status() == kStatusHeartbeatLost) self->startResolving();
      }
    });
  }
  int64_t id = ++timeoutHeartBeatId_;
  ++timeoutHeartBeatCounter_;
  lastHeartBeatStamp_ = now();
  p->socket->writeData(Q5Protocol::heartBeatPacketWithMessage("__" + std::to_string(id)));
  ++heartbeatSent_;
  GVLogger::logFlowGroupHeartbeatNote(std::to_string(groupKeyId_),
                                      "send heartbeat " + std::to_string(id));
}

void GVFlowGroup::stop() {
  ++generation_;
  setStatus(kStatusStopped);
  for (auto& t : resolveTimers_) t.cancel();
  resolveTimers_.clear();
  std::shared_ptr<const Path> previous;
  {
    std::lock_guard lock(pathMutex_);
    previous = std::exchange(path_, nullptr);
  }
  closeSockets(nullptr);
  if (previous && previous->socket) previous->socket->disconnect();
}

std::map<int64_t, Q5HeartBeatItem> GVFlowGroup::heartBeatResultMap() const {
  return heartBeatResultMap_;
}

std::map<std::string, Q5DetectItem> GVFlowGroup::BDetectResultMap() const {
  std::lock_guard lock(detectMutex_);
  return BDetectResultMap_;
}

std::vector<std::string> GVFlowGroup::socketHosts() const {
  std::lock_guard lock(socketMapMutex_);
  std::vector<std::string> out;
  for (const auto& [ip, s] : socketMap_) out.push_back(ip);
  return out;
}

uint16_t GVFlowGroup::localPortForEntrance(const std::string& ip) const {
  std::lock_guard lock(socketMapMutex_);
  auto it = socketMap_.find(ip);
  return it == socketMap_.end() ? 0 : it->second->localPort();
}

int64_t GVFlowGroup::timeoutHeartBeatCounter() const { return timeoutHeartBeatCounter_.load(); }
int64_t GVFlowGroup::timeoutHeartBeatId() const { return timeoutHeartBeatId_.load(); }
