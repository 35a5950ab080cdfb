#include "Mazzle/MZAdapter.h"

#include <cstring>

#include "Mazzle/MZHelper.h"
#include "Mazzle/MZNWTCPSocket.h"

int MZDirectAdapter::open(const MZConnectSession& session, std::string& error) {
  MZNWTCPSocket socket;
  int rc = socket.connect(MZHelper::ipv4LiteralFromAddr(session.destinationIP),
                          session.destinationPort, kConnectTimeout);
  if (rc != 0) {
    error = std::string("direct connect failed: ") + std::strerror(-rc);
    return rc;
  }
  return socket.release();
}

std::shared_ptr<MZDirectAdapterFactory> MZDirectAdapterFactory::shared() {
  static auto instance = std::make_shared<MZDirectAdapterFactory>();
  return instance;
}

std::unique_ptr<MZAdapter> MZDirectAdapterFactory::getAdapterForSession(const MZConnectSession&) {
  return std::make_unique<MZDirectAdapter>();
}
