#include "Galvent/Tunnel/Pexara/PexaraPacketProxy.h"

#include <arpa/inet.h>

#include <set>

#include "Galvent/Logger/GVLogReport.h"
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Mazzle/MZHelper.h"
#include "PexaraAPI/PexaraAPI.h"
#include "platform/dispatch/Queue.h"

namespace {

nlohmann::json numberJSON(const std::optional<tq::Number>& n) {
  return n ? n->toJSON() : nlohmann::json();
}

std::string numberText(const std::optional<tq::Number>& n) {
  return n ? std::to_string(n->intValue()) : "(null)";
}

}  // namespace

std::shared_ptr<PexaraPacketProxy> PexaraPacketProxy::initWithSession(GVQ5Session session) {
  return std::make_shared<PexaraPacketProxy>(std::move(session));
}

PexaraPacketProxy::PexaraPacketProxy(GVQ5Session session)
    : GVPacketProxy(session.clientIP), session_(std::move(session)) {
  // The flow-group manager writes the group keys into the rules before the rule manager reads
  // them.
  if (session_.speedInfo) {
    flowManager_ = GVFlowGroupManager::managerWithSpeedInfo(*session_.speedInfo);
    ruleManager_ = GVPacketRuleManager::managerWithSpeedInfo(*session_.speedInfo);
  } else {
    GVLogError("Game session without start information");
    flowManager_ = std::make_unique<GVFlowGroupManager>();
    ruleManager_ = std::make_unique<GVPacketRuleManager>();
  }
  autoProxyDNS_ = false;
  if (GVFlag(GVTunnelOptions::currentOptions()->logReportEnable)) openLogStreamIfNeeded();

  std::set<std::string> seen;
  if (session_.speedInfo && session_.speedInfo->vni_array) {
    for (const PXA_TRAFFIC_GROUP& item : *session_.speedInfo->vni_array) {
      if (!item.entrance) continue;
      for (const PXA_ENTRANCE& entrance : *item.entrance) {
        std::string ip = entrance.ip.value_or("");
        if (ip.empty() || !seen.insert(ip).second) continue;
        blackRoutes_.push_back(GVRoute{ip, "255.255.255.255"});
      }
    }
  }
}

void PexaraPacketProxy::openLogStreamIfNeeded() {
  // The game log host is the deployment's; without one the report keeps no stream.
  if (claimLogStream()) GVLogReport::sharedLogReport().newUploadStream();
}

bool PexaraPacketProxy::processPacket(std::span<const uint8_t> packet,
                                      const brevant::ip_session_info& session, uint64_t flowKeyId) {
  bool taken = GVPacketProxy::processPacket(packet, session, flowKeyId);
  if (GVFlag(GVTunnelOptions::currentOptions()->logReportEnable) &&
      (session.protocol == brevant::kProtoTCP || session.protocol == brevant::kProtoUDP)) {
    std::string kind = session.is_dns                           ? "DNS"
                       : session.protocol == brevant::kProtoTCP ? "TCP"
                                                                : "UDP";
    const auto& info = session_.speedInfo;
    std::string line = "[" + kind + "] host: " + MZHelper::ipv4LiteralFromAddr(session.dst_ip) +
                       ":" + std::to_string(ntohs(session.dst_port)) +
                       ", domain: " + session.domain +
                       ", flow_id: " + numberText(info ? info->flow_id : std::nullopt);
    nlohmann::json dict = {
        {"log", line},
        {"uid", numberJSON(session_.userInfo ? session_.userInfo->uid : std::nullopt)},
        {"gid", numberJSON(session_.gameId)},
        {"version", session_.appVersion ? nlohmann::json(*session_.appVersion) : nlohmann::json()}};
    GVLogReport::sharedLogReport().appendTrafficInfo(dict);
  }
  return taken;
}

void PexaraPacketProxy::finishResolving(const GVResolveResultItem&, GVFlowGroup&) {
  if (reportLog()) openLogStreamIfNeeded();
}

void PexaraPacketProxy::finishResolvingWithAllResults(
    const std::vector<GVResolveResultItem>& results, GVFlowGroup& fromFlowGroup) {
  GVPacketProxy::finishResolvingWithAllResults(results, fromFlowGroup);
  nlohmann::json list = nlohmann::json::array();
  for (const GVResolveResultItem& r : results) {
    PXA_PATH_INFO path;
    path.enterIp = r.entrance.ip;
    path.enterPort = r.port;
    path.outAddr = r.exit.addr;
    path.outIp = r.exit.nat;
    path.delayA = r.ADelay;
    path.delayB = r.BDelay;
    path.lostA = r.ALost;
    path.lostB = r.BLost;
    list.push_back(tq::toDictionary(path));
  }
  const std::string info = list.dump();
  for (int64_t ruleId : fromFlowGroup.ruleIds()) {
    auto call = std::make_shared<PXA_API_PATH>();
    auto& req = call->req();
    req.info = info;
    if (session_.userInfo) req.uid = session_.userInfo->uid;
    req.mac = session_.mac;
    if (session_.speedInfo) req.flowId = session_.speedInfo->flow_id;
    req.gameId = session_.gameId;
    req.offset = ruleId;
    req.flowLevel = fromFlowGroup.flowLevel();
    req.version = session_.appVersion;
    req.result = "ok";
    call->setSilence(true);
    call->setWhenSucceed([](TQAPI&) { GVLogInfo("Success report path"); });
    call->setWhenFailed([](TQAPI& api) {
      GVLogError("Faild report path " + api.reqDictionary().value_or(nullptr).dump());
    });
    call->send();
  }
}

void PexaraPacketProxy::doHeartBeat() {
  GVLogInfo("Start Heart Beat... ❤️❤️❤️❤️❤️❤️❤️❤️❤️");
  auto call = std::make_shared<PXA_API_USER_HEARTBEAT>();
  call->req().mac = session_.mac;
  if (session_.userInfo) call->req().uid = session_.userInfo->uid;
  call->setAutoSerializingResp(false);
  call->setSilence(true);
  call->setWhenSucceed([](TQAPI& api) {
    GVLogInfo("Heart Beat Succeed ❤️❤️❤️❤️❤️❤️❤️❤️❤️");
    GVLogInfo("api.resp = " + api.rawResp().dump());
  });
  call->setWhenFailed([](TQAPI& api) {
    GVLogInfo("api.resp = " + api.rawResp().dump());
    // Without an answer (no network) the next beat simply follows.
    if (api.respData().is_null()) return;
    TQError error = api.lastError();
    if (error.code == 0) return;
    GVLogError("Heart Beat Error: " + error.description +
               " ❤️❤️❤️❤️❤️❤️❤️❤️❤️");
    GVPacketProxy::kickOffLater(api.description(), error);
  });
  // Calls are sent and answered on the main queue.
  platform::dispatch::postToMain([call] { call->send(); });
}
