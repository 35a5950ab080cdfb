#include "Galvent/Tunnel/Ombrix/OmbrixPacketProxy.h"

#include "Galvent/Logger/GVLogReport.h"
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Utils/GVQueueFactory.h"
#include "JolvexAPI/JolvexAPI.h"
#include "Mazzle/MZHelper.h"
#include "platform/dispatch/Queue.h"

std::shared_ptr<OmbrixPacketProxy> OmbrixPacketProxy::initWithSession(GVTsSession session) {
  return std::make_shared<OmbrixPacketProxy>(std::move(session));
}

OmbrixPacketProxy::OmbrixPacketProxy(GVTsSession session)
    : GVPacketProxy(session.clientIP), session_(std::move(session)) {
  // The flow-group manager writes the group keys into the rules before the rule manager reads
  // them.
  if (session_.speedInfo) {
    flowManager_ = GVFlowGroupManager::managerWithSpeedInfo(*session_.speedInfo);
    ruleManager_ = GVPacketRuleManager::managerWithSpeedInfo(*session_.speedInfo);
  } else {
    GVLogError("Line session without start information");
    flowManager_ = std::make_unique<GVFlowGroupManager>();
    ruleManager_ = std::make_unique<GVPacketRuleManager>();
  }
  autoProxyDNS_ = true;
  if (session_.speedInfo && session_.speedInfo->entrance) {
    for (const JVX_ENTRANCE& entrance : *session_.speedInfo->entrance)
      blackRoutes_.push_back(GVRoute{entrance.ip.value_or(""), "255.255.255.255"});
  }
}

bool OmbrixPacketProxy::processPacket(std::span<const uint8_t> packet,
                                      const brevant::ip_session_info& session, uint64_t flowKeyId) {
  return GVPacketProxy::processPacket(packet, session, flowKeyId);
}

void OmbrixPacketProxy::finishResolving(const GVResolveResultItem& result, GVFlowGroup&) {
  if (reportLog() && claimLogStream())
    GVLogReport::sharedLogReport().setUploadStreamWithHost(result.entrance.ip, kLogPort);
}

void OmbrixPacketProxy::finishResolvingWithAllResults(
    const std::vector<GVResolveResultItem>& results, GVFlowGroup& fromFlowGroup) {
  GVPacketProxy::finishResolvingWithAllResults(results, fromFlowGroup);
  for (int64_t ruleId : fromFlowGroup.ruleIds()) {
    std::vector<JVX_PATH_REPORT> paths;
    for (const GVResolveResultItem& r : results) {
      JVX_PATH_REPORT p;
      if (session_.userInfo) p.uid = session_.userInfo->uid;
      p.mac = session_.mac;
      if (session_.speedInfo) p.flow_id = session_.speedInfo->flow_id;
      p.entrance_ip = r.entrance.ip;
      p.entrance_port = r.port;
      p.exit_addr = r.exit.addr;
      p.exit_nat = r.exit.nat;
      p.delay_a = r.ADelay;
      p.delay_b = r.BDelay;
      p.lost_a = r.ALost;
      p.lost_b = r.BLost;
      p.traffic_level = fromFlowGroup.flowLevel();
      p.rule_id = ruleId;
      paths.push_back(std::move(p));
    }
    auto call = std::make_shared<JVX_API_PATH_BATCH_REPORT>();
    call->req().paths = std::move(paths);
    call->setSilence(true);
    call->setWhenSucceed([](TQAPI&) { GVLogInfo("Success report pateachResulth"); });
    call->setWhenFailed([](TQAPI& api) {
      GVLogError("Faild report path " + api.reqDictionary().value_or(nullptr).dump());
    });
    call->send();
  }
}

void OmbrixPacketProxy::doHeartBeat() {
  GVLogInfo("Start Heart Beat... ❤️❤️❤️❤️❤️❤️❤️❤️❤️");
  auto call = std::make_shared<JVX_API_USER_HEARTBEAT>();
  call->req().mac = session_.mac;
  if (session_.userInfo) call->req().uid = session_.userInfo->uid;
  call->setSilence(true);
  std::weak_ptr<GVPacketProxy> weak = weak_from_this();
  call->setWhenSucceed([weak](TQAPI& api) {
    GVLogInfo("Heart Beat Succeed ❤️❤️❤️❤️❤️❤️❤️❤️❤️");
    GVLogInfo("api.resp = " + api.respDictionary().dump());
    auto& self = static_cast<JVX_API_USER_HEARTBEAT&>(api);
    std::vector<GVEntrance> entrances;
    if (self.resp() && self.resp()->entrance) {
      for (const JVX_ENTRANCE& e : *self.resp()->entrance) {
        GVEntrance entrance = GVEntranceExit::entrance(e);
        // A bad entry is skipped on its own; the rest of the list still counts.
        if (!MZHelper::ipv4AddrFromLiteral(entrance.ip) || entrance.ports.empty()) {
          GVLogError("Skipped heartbeat entrance " + tq::toJSON(e));
          continue;
        }
        entrances.push_back(std::move(entrance));
      }
    }
    GVQueueFactory::getQueue()->async([weak, entrances = std::move(entrances)] {
      if (auto proxy = std::static_pointer_cast<OmbrixPacketProxy>(weak.lock()))
        proxy->updateEntrancesIfNeeded(entrances);
    });
  });
  call->setWhenFailed([](TQAPI& api) {
    TQError error = api.lastError();
    if (error.code == kKickOffCode) GVPacketProxy::kickOffLater(api.description(), error);
    GVLogError(
        "Heart Beat Error: " + error.description +
        " ❤️❤️❤️❤️❤️❤️❤️❤️❤️ \n API: " + api.description());
  });
  // Calls are sent and answered on the main queue.
  platform::dispatch::postToMain([call] { call->send(); });
}

void OmbrixPacketProxy::updateEntrancesIfNeeded(const std::vector<GVEntrance>& entrances) {
  if (entrances.empty() || !flowManager_) return;
  auto groups = flowManager_->flowGroups();
  if (groups.empty()) return;
  std::vector<GVEntrance> current = groups.front()->entrances();
  bool differs = current.size() != entrances.size();
  for (size_t i = 0; !differs && i < entrances.size(); ++i)
    differs = current[i].ip != entrances[i].ip;
  if (differs) updateEntrances(entrances);
}

void OmbrixPacketProxy::updateEntrances(const std::vector<GVEntrance>& entrances) {
  if (!flowManager_) return;
  for (auto& group : flowManager_->flowGroups()) {
    group->setEntrances(entrances);
    platform::dispatch::postToMain([weak = std::weak_ptr<GVFlowGroup>(group)] {
      if (auto g = weak.lock()) g->startResolving();
    });
  }
}
