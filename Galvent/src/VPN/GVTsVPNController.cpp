#include "Galvent/VPN/GVTsVPNController.h"

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"

using platform::reactive::Signal;

Signal<GVLaunchOptions> GVTsVPNController::speedStart(SessionPtr session) {
  if (!session) return GVVPNController::speedStart(session);
  auto call = std::make_shared<JVX_API_RULE_LIST>();
  auto& req = call->req();
  req.mac = session->mac;
  if (session->userInfo) req.uid = session->userInfo->uid;
  req.entrances = session->entrances;
  req.exits = session->exits;
  req.area_id = session->areaId;
  req.rule_groups = session->ruleGroups;
  req.acceleration_mode = session->accelerationMode;
  return RAC::rac_send(call).flattenMap([session](const nlohmann::json& answer) {
    TQError error;
    auto info = tq::fromDictionary<JVX_SPEED_START_INFO>(answer, &error);
    if (!info) return Signal<GVLaunchOptions>::error(error);
    session->speedInfo = std::move(*info);
    GVLaunchOptions options;
    options.tssession = *session;
    return Signal<GVLaunchOptions>::just(options);
  });
}

Signal<nlohmann::json> GVTsVPNController::speedStop(SessionPtr session) {
  if (!session) return GVVPNController::speedStop(session);
  auto call = std::make_shared<JVX_API_SPEED_END>();
  call->setSilence(true);
  auto& req = call->req();
  req.mac = session->mac;
  if (session->userInfo) req.uid = session->userInfo->uid;
  if (session->speedInfo) req.flow_id = session->speedInfo->flow_id;
  return RAC::rac_send(call);
}
