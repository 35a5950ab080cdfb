// The account service's heartbeat, seen from its own translation unit (the two generated call
// headers are not meant to share one).
#include "JolvexAPI/JolvexAPI.h"

std::string accountHeartbeatPath() { return JVX_API_USER_HEARTBEAT::kPath; }

const void* accountHeartbeatEngine() {
  JVX_API_USER_HEARTBEAT call;
  return &call.engine();
}

nlohmann::json accountHeartbeatRequest() {
  JVX_API_USER_HEARTBEAT call;
  call.req().uid = 41;
  call.req().flow_id = 1;
  return tq::toDictionary(call.req());
}
