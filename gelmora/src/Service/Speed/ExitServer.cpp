#include "gelmora/Service/Speed/ExitServer.h"

#include "gelmora/Service/Tools/TsConvertHelper.h"

std::string ExitServer::ipAddress() const {
  return TsConvertHelper::natToIPAddress(nat_).value_or("");
}
