#include "Galvent/Tunnel/Base/GVPacketProxy.h"

#include <arpa/inet.h>

#include <chrono>

#include "Brevant/Brevant.h"
#include "Brevant/Packet.h"
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVLaunchOptions.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Galvent/Tunnel/Ombrix/OmbrixPacketProxy.h"
#include "Galvent/Tunnel/Pexara/PexaraPacketProxy.h"
#include "Galvent/Utils/GVQueueFactory.h"
#include "JolvexAPI/JVXServiceEngine.h"
#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "Mazzle/MZQueueFactory.h"
#include "PexaraAPI/PXAOrgServiceEngine.h"
#include "platform/dispatch/Queue.h"

namespace dispatch = platform::dispatch;

namespace {

// The global-proxy DNS server: parsed on first use and kept while the option text stays.
uint32_t globalDNSServer(const GVTunnelOptions& options) {
  static std::mutex mutex;
  static std::string text;
  static uint32_t addr = 0;
  static bool parsed = false;
  std::string wanted = options.dnsServer.value_or(GVDefaultDnsServer);
  std::lock_guard lock(mutex);
  if (!parsed || wanted != text) {
    text = wanted;
    parsed = true;
    addr = MZHelper::ipv4AddrFromLiteral(text).value_or(0);
    if (addr == 0) GVLogError("Global proxy DNS server is not an IPv4 address: " + text);
  }
  return addr;
}

bool matchAny(const std::optional<std::vector<std::string>>& list, std::string_view domain) {
  if (!list) return false;
  for (const std::string& entry : *list)
    if (!entry.empty() && domain.find(entry) != std::string_view::npos) return true;
  return false;
}

}  // namespace

std::shared_ptr<GVPacketProxy> GVPacketProxy::packetProxyWith(
    const nlohmann::json& options, std::weak_ptr<GVPacketProxyDelegate> delegate) {
  TQError error;
  auto launch = GVLaunchOptions::installFromDictionary(options, &error);
  if (!launch) {
    GVLogError("Start options do not map: " + error.description);
    return nullptr;
  }
  std::shared_ptr<GVPacketProxy> proxy;
  if (launch->q5session) {
    set_PXAOrgDomain(launch->q5session->baseDomain);
    proxy = PexaraPacketProxy::initWithSession(*launch->q5session);
  }
  if (launch->tssession) {
    set_JVXDomain(launch->tssession->baseDomain);
    JVXServiceEngine::sharedEngine().setFastAPIMode(launch->tssession->fastAPIMode.value_or(false));
    proxy = OmbrixPacketProxy::initWithSession(*launch->tssession);
  }
  if (proxy) proxy->setDelegate(std::move(delegate));
  return proxy;
}

GVPacketProxy::GVPacketProxy(const std::optional<std::string>& clientIPText) {
  if (clientIPText && !clientIPText->empty()) {
    auto addr = MZHelper::ipv4AddrFromLiteral(*clientIPText);
    if (addr) {
      clientIP_ = *addr;
    } else {
      GVLogError("Client address is not an IPv4 address: " + *clientIPText);
    }
  }
}

GVPacketProxy::~GVPacketProxy() {
  std::lock_guard lock(timerMutex_);
  timer_.cancel();
}

void GVPacketProxy::setDelegate(std::weak_ptr<GVPacketProxyDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<GVPacketProxyDelegate> GVPacketProxy::delegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

std::vector<GVTrafficRecord> GVPacketProxy::trafficRecords() const {
  std::lock_guard lock(recordsMutex_);
  return trafficRecords_;
}

bool GVPacketProxy::matchDNSRejectDomain(std::string_view domain) {
  return matchAny(GVTunnelOptions::currentOptions()->dnsRejectDomains, domain);
}

bool GVPacketProxy::matchHttpProxyDomain(std::string_view domain) {
  return matchAny(GVTunnelOptions::currentOptions()->httpsProxyMatchDomains, domain);
}

std::vector<uint8_t> GVPacketProxy::upgradeEDNSIfNeeded(std::vector<uint8_t> packet) const {
  if (!GVFlag(GVTunnelOptions::currentOptions()->EDNSEnable) || clientIP_ == 0) return packet;
  GVLogInfo("Upgrade to EDNS with addr " + std::to_string(clientIP_));
  auto p = MZIPv4Packet::packetWithData(packet, true);
  if (!p) return packet;
  p->upgradeToEDNSWithClientIP(clientIP_);
  return p->rawData();
}

bool GVPacketProxy::inputPacket(std::span<const uint8_t> packet) {
  if (!ruleManager_ || !flowManager_) return false;
  return classify(packet);
}

bool GVPacketProxy::classify(std::span<const uint8_t> packet) {
  // Runs with packet lines describe every packet's match, so they take the full match each time.
  if (GVLogger::packetLinesOn()) return classifyFully(packet, nullptr);
  // The session is copied into a buffer of this thread, which keeps its capacity.
  thread_local brevant::ip_session_info session;
  CachedFlow stamp;
  uint64_t flowKeyId = 0;
  switch (lookUp(packet, stamp, &session, flowKeyId)) {
    case Lookup::kNotIPv4:
      // Anything that is not a sound IPv4 packet is left to the stack.
      return false;
    case Lookup::kUncached:
      return classifyFully(packet, nullptr);
    case Lookup::kMiss:
      return classifyFully(packet, &stamp);
    case Lookup::kHit:
      break;
  }
  ++flowCacheHits_;
  return applyVerdict(stamp.verdict, packet, session, flowKeyId);
}

bool GVPacketProxy::passesDown(std::span<const uint8_t> packet) {
  if (!ruleManager_ || !flowManager_) return true;
  if (GVLogger::packetLinesOn()) return false;
  CachedFlow stamp;
  uint64_t flowKeyId = 0;
  if (lookUp(packet, stamp, nullptr, flowKeyId) != Lookup::kHit) return false;
  switch (stamp.verdict) {
    case Verdict::kBlack:
    case Verdict::kBypass:
    case Verdict::kPassDown:
      ++flowCacheHits_;
      return true;
    default:
      return false;
  }
}

GVPacketProxy::Lookup GVPacketProxy::lookUp(std::span<const uint8_t> packet, CachedFlow& stamp,
                                            brevant::ip_session_info* session,
                                            uint64_t& flowKeyId) {
  auto info = brevant::parse_ipv4(packet);
  if (!info) return Lookup::kNotIPv4;
  // Verdicts are kept for whole TCP and UDP packets only; DNS is rewritten packet by packet.
  const bool perFlow =
      info->has_transport && !info->is_fragment() &&
      (info->protocol == brevant::kProtoTCP || info->protocol == brevant::kProtoUDP) &&
      info->src_port != 53 && info->dst_port != 53;
  auto options = GVTunnelOptions::currentOptions();
  if (!perFlow || GVFlag(options->globalProxy)) return Lookup::kUncached;

  stamp.key = {info->src, info->dst, info->src_port, info->dst_port, info->protocol};
  // Read before the match, so that a change during it leaves the new entry stale.
  stamp.rulesGeneration = ruleManager_->rules().generation();
  stamp.domainsGeneration = ruleManager_->domainTable().generation();
  stamp.options = options;
  const FlowKey& k = stamp.key;
  const size_t hash = (size_t{k.src} * 0x9E3779B1u) ^ (size_t{k.dst} * 0x85EBCA77u) ^
                      (size_t{k.srcPort} << 16 | k.dstPort) * 0xC2B2AE3Du ^ k.protocol;
  stamp.slot = (hash ^ (hash >> 15)) % kFlowCacheSize;

  std::lock_guard lock(flowCacheMutex_);
  if (flowCache_.empty()) flowCache_.resize(kFlowCacheSize);
  const CachedFlow& e = flowCache_[stamp.slot];
  if (!e.used || !(e.key == k) || e.rulesGeneration != stamp.rulesGeneration ||
      e.domainsGeneration != stamp.domainsGeneration || e.options != options) {
    // Counted once per packet: only the classification that follows a miss counts it.
    if (session) ++flowCacheMisses_;
    return Lookup::kMiss;
  }
  stamp.verdict = e.verdict;
  flowKeyId = e.flowKeyId;
  if (session) *session = e.session;
  return Lookup::kHit;
}

bool GVPacketProxy::applyVerdict(Verdict verdict, std::span<const uint8_t> packet,
                                 const brevant::ip_session_info& session, uint64_t flowKeyId) {
  switch (verdict) {
    case Verdict::kWhite:
      return processPacket(packet, session, flowKeyId);
    case Verdict::kDrop:
      return true;
    default:
      return false;
  }
}

void GVPacketProxy::remember(const CachedFlow* stamp, Verdict verdict,
                             const brevant::ip_session_info& session, uint64_t flowKeyId) {
  if (!stamp || session.is_dns) return;
  std::lock_guard lock(flowCacheMutex_);
  CachedFlow& e = flowCache_[stamp->slot];
  e.used = true;
  e.key = stamp->key;
  e.rulesGeneration = stamp->rulesGeneration;
  e.domainsGeneration = stamp->domainsGeneration;
  e.options = stamp->options;
  e.slot = stamp->slot;
  e.verdict = verdict;
  e.flowKeyId = flowKeyId;
  e.session = session;
}

bool GVPacketProxy::classifyFully(std::span<const uint8_t> packet, const CachedFlow* stamp) {
  brevant::ip_session_info session;
  // Anything that is not a sound IPv4 packet is left to the stack.
  if (!ruleManager_->sessionWithPacket(packet, session, true)) return false;
  auto options = GVTunnelOptions::currentOptions();
  const std::string& domain = session.domain;

  if (GVFlag(options->globalProxy)) {
    GVLogger::logOutgoingPacket(packet, "Pass to global...");
    auto last = flowManager_->lastFlowGroup();
    uint64_t key = last ? last->groupKeyId() : 0;
    if (session.is_dns) {
      std::vector<uint8_t> copy(packet.begin(), packet.end());
      if (uint32_t server = globalDNSServer(*options))
        brevant::process_dns_query_packet(ruleManager_->dnsRedirects(), server, copy);
      copy = upgradeEDNSIfNeeded(std::move(copy));
      ruleManager_->sessionWithPacket(copy, session, true);
      recordSession(session, GVTrafficGroupWhite);
      return processPacket(copy, session, key);
    }
    recordSession(session, GVTrafficGroupWhite);
    return processPacket(packet, session, key);
  }

  if (session.is_dns && matchDNSRejectDomain(domain)) {
    GVLogInfo("Detect DNS reject match: " + domain + ", Drop it.");
    return true;
  }

  // A DNS query of a DNS rule goes on as a copy addressed to the rule's server.
  std::vector<uint8_t> rewritten;
  std::span<const uint8_t> working = packet;
  if (session.is_dns) {
    brevant::dns_rule rule;
    if (!ruleManager_->matchedDNS(session, &rule)) {
      recordSession(session, GVTrafficGroupByPass);
      return false;
    }
    GVLogger::logOutgoingPacket(packet,
                                [&] { return "DNS matched: " + brevant::dns_rule_string(rule); });
    rewritten.assign(packet.begin(), packet.end());
    brevant::process_dns_query_packet(ruleManager_->dnsRedirects(), rule.dns_server, rewritten);
    session.dst_ip = rule.dns_server;
    rewritten = upgradeEDNSIfNeeded(std::move(rewritten));
    working = rewritten;
    if (autoProxyDNS_) {
      recordSession(session, GVTrafficGroupWhite);
      return processPacket(working, session, static_cast<uint64_t>(rule.traffic_id));
    }
  }

  if (matchHttpProxyDomain(domain)) {
    uint16_t port = ntohs(session.dst_port);
    if (session.protocol == brevant::kProtoUDP && port == 443) {
      GVLogInfo("Detect quic match: " + domain + ", Drop it.");
      remember(stamp, Verdict::kDrop, session, 0);
      return true;
    }
    if (session.protocol == brevant::kProtoTCP) {
      GVLogInfo("Detect https proxy match: " + domain + ", pass down.");
      remember(stamp, Verdict::kPassDown, session, 0);
      return false;
    }
  }

  brevant::traffic_rule rule;
  if (ruleManager_->matchedBlack(session, &rule)) {
    GVLogger::logOutgoingPacket(working, [&] {
      return "domain: " + domain + " \nBLACK matched: " + brevant::traffic_rule_string(rule);
    });
    recordSession(session, GVTrafficGroupBlack);
    remember(stamp, Verdict::kBlack, session, 0);
    return false;
  }
  if (ruleManager_->matchedWhite(session, &rule)) {
    auto group = flowManager_->groupForKeyId(static_cast<uint64_t>(rule.traffic_id));
    GVLogger::logOutgoingPacket(working, [&] {
      return "domain: " + domain +
             " \nWHITE matched: " + (group ? group->groupName() : std::string("(null)")) + " " +
             brevant::traffic_rule_string(rule);
    });
    recordSession(session, GVTrafficGroupWhite);
    remember(stamp, Verdict::kWhite, session, static_cast<uint64_t>(rule.traffic_id));
    return processPacket(working, session, static_cast<uint64_t>(rule.traffic_id));
  }
  GVLogger::logOutgoingPacket(working, [&] {
    return "NO matched, Bypass, domain: " + domain + ", proto: " + std::to_string(session.protocol);
  });
  recordSession(session, GVTrafficGroupByPass);
  remember(stamp, Verdict::kBypass, session, 0);
  return false;
}

bool GVPacketProxy::processPacket(std::span<const uint8_t> packet, const brevant::ip_session_info&,
                                  uint64_t flowKeyId) {
  auto group = flowManager_ ? flowManager_->groupForKeyId(flowKeyId) : nullptr;
  if (!group) {
    GVLogError("No Flow group " + std::to_string(flowKeyId));
    return false;
  }
  ++txPackets_;
  txbytes_ += packet.size();
  return group->inputPacket(packet);
}

void GVPacketProxy::recordSession(const brevant::ip_session_info& session,
                                  const std::string& group) {
  if (!GVFlag(GVTunnelOptions::currentOptions()->recordTrafficEnable)) return;
  GVTrafficRecord record;
  record.group = group;
  record.domain = session.domain;
  std::string protocol = session.protocol == brevant::kProtoTCP ? "TCP" : "UDP";
  if (session.is_dns) protocol = "DNS";
  if (session.protocol == brevant::kProtoICMP) protocol = "ICMP";
  record.protocol = protocol;
  record.destIP = MZHelper::ipv4LiteralFromAddr(session.dst_ip);
  record.port = ntohs(session.dst_port);
  record.areaId = std::to_string(session.area_id);
  RecordKey key{group,          session.domain,          protocol,
                session.dst_ip, ntohs(session.dst_port), session.area_id};
  std::lock_guard lock(recordsMutex_);
  if (trafficRecordKeys_.contains(key)) return;
  if (trafficRecords_.size() >= kMaxTrafficRecords) {
    if (!recordsCapWarned_) {
      recordsCapWarned_ = true;
      GVLogWarn("Traffic records full (" + std::to_string(kMaxTrafficRecords) +
                "), later records dropped");
    }
    return;
  }
  trafficRecordKeys_.insert(std::move(key));
  trafficRecords_.push_back(std::move(record));
}

size_t GVPacketProxy::RecordKeyHash::operator()(const RecordKey& k) const {
  std::hash<std::string> text;
  size_t h = text(k.domain) ^ (text(k.group) << 1) ^ (text(k.protocol) << 2);
  return h ^ (size_t{k.destIP} * 0x9E3779B97F4A7C15ull) ^ (size_t{k.port} << 20 | k.areaId);
}

void GVPacketProxy::flowPacket(std::vector<uint8_t> packet, GVFlowGroup&) {
  // A whole packet goes on in the bytes it came in.
  auto info = brevant::parse_ipv4(packet);
  if (info && !info->is_fragment()) return processIncomingIPv4Packet(std::move(packet));
  processIncomingIPPacket(packet);
}

void GVPacketProxy::processIncomingIPPacket(std::span<const uint8_t> packet) {
  // Bodies from the network are checked before anything reads them.
  auto info = brevant::parse_ipv4(packet);
  if (!info) {
    GVLogError("Dropped incoming packet that is not sound IPv4 (" + std::to_string(packet.size()) +
               " bytes)");
    return;
  }
  if (!info->is_fragment()) {
    processIncomingIPv4Packet(
        std::vector<uint8_t>(packet.begin(), packet.begin() + info->total_length));
    return;
  }
  GVLogInfo("-- Fragment Packet (" + std::to_string(packet.size()) + ") --");
  auto reassemble = [weak = weak_from_this(),
                     bytes = std::vector<uint8_t>(packet.begin(), packet.end())] {
    auto self = weak.lock();
    if (!self) return;
    if (auto whole = MZIPv4Packet::reassemblePacket(bytes))
      self->processIncomingIPv4Packet(std::move(*whole));
  };
  if (MZQueueFactory::onQueue()) {
    reassemble();
  } else {
    MZQueueFactory::async(std::move(reassemble));
  }
}

void GVPacketProxy::processIncomingIPv4Packet(std::vector<uint8_t> bytes) {
  auto info = brevant::parse_ipv4(bytes);
  if (!info) {
    GVLogError("Dropped reassembled packet that is not sound IPv4");
    return;
  }
  // Bytes past the IP length are no part of the packet.
  bytes.resize(info->total_length);
  brevant::update_checksums(bytes);
  ++rxPackets_;
  rxBytes_ += bytes.size();
  GVLogger::logIncomingPacket(bytes, "");
  // Only DNS answers are rewritten; other packets skip the session and its name lookup.
  if (ruleManager_ && info->protocol == brevant::kProtoUDP && info->has_transport &&
      info->src_port == 53) {
    brevant::ip_session_info session;
    if (ruleManager_->sessionWithPacket(bytes, session, false) && session.is_dns) {
      std::vector<uint8_t> copy = bytes;
      if (brevant::process_dns_answer_packet(ruleManager_->dnsRedirects(),
                                             ruleManager_->domainTable(), copy, 1))
        bytes = std::move(copy);
    }
  }
  if (auto d = delegate()) d->incomingIPPacket(std::move(bytes), *this);
}

void GVPacketProxy::finishResolving(const GVResolveResultItem&, GVFlowGroup&) {}

void GVPacketProxy::flowGroupFaildResolving(GVFlowGroup& group) {
  GVLogError("Faild Resolving : " + group.description());
}

void GVPacketProxy::finishResolvingWithAllResults(const std::vector<GVResolveResultItem>& results,
                                                  GVFlowGroup& fromFlowGroup) {
  GVLogInfo("finsish resolving: " +
            (results.empty() ? std::string("(null)") : results.front().description()) +
            ", traffic_level: " + std::to_string(fromFlowGroup.flowLevel()));
}

void GVPacketProxy::doHeartBeat() {}

void GVPacketProxy::start() {
  if (!flowManager_) return;
  for (auto& group : flowManager_->flowGroups()) group->setDelegate(weak_from_this());
  flowManager_->startAllFlowGroup();
  startHeartBeat();
}

void GVPacketProxy::stop() {
  if (flowManager_) {
    flowManager_->stopAllFlowGroup();
    for (auto& group : flowManager_->flowGroups()) group->setDelegate({});
  }
  stopHeartBeat();
}

void GVPacketProxy::startHeartBeat() {
  dispatch::RepeatOptions options;
  options.fireImmediately = true;
  options.leeway = std::chrono::seconds(kHeartBeatIntervalSeconds);
  std::weak_ptr<GVPacketProxy> weak = weak_from_this();
  std::lock_guard lock(timerMutex_);
  timer_.cancel();
  timer_ = dispatch::repeating(
      std::chrono::seconds(kHeartBeatIntervalSeconds), GVQueueFactory::getQueue(),
      [weak] {
        if (auto self = weak.lock()) self->doHeartBeat();
      },
      options);
}

void GVPacketProxy::stopHeartBeat() {
  std::lock_guard lock(timerMutex_);
  timer_.cancel();
  timer_ = {};
}

void GVPacketProxy::kickOffLater(const std::string& callDescription, const TQError& error) {
  GVLogger::logVPNExitReason(callDescription + " \n Error: " + error.description);
  dispatch::after(std::chrono::seconds(1), dispatch::mainQueue(), [error] {
    platform::notifications::NotificationCenter::defaultCenter().post(GVPacketProxyServerKickOff,
                                                                      error);
  });
}

bool GVPacketProxy::claimLogStream() { return !logStreamClaimed().exchange(true); }

void GVPacketProxy::resetLogStreamClaim() { logStreamClaimed() = false; }

std::atomic<bool>& GVPacketProxy::logStreamClaimed() {
  static std::atomic<bool> claimed{false};
  return claimed;
}
