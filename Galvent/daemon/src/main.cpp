// galvent-tunnel: runs one packet tunnel on a TUN device for the app that launched it.
//   --control PATH  --owner-uid UID  [--container-root DIR] [--resources DIR] [--mark M]
//   [--table T] [--dns-config resolved|resolv.conf|none] [--log-host HOST]
//   [--tcp-idle-limit SECONDS] (tests)
#include <signal.h>

#include <cstdio>

#include "TunnelDaemon.h"

int main(int argc, char** argv) {
  std::string error;
  auto config = TunnelDaemonConfig::fromArguments(argc, argv, error);
  if (!config) {
    std::fprintf(stderr, "galvent-tunnel: %s\n", error.c_str());
    return 2;
  }
  // A peer that goes away must not kill the tunnel with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  TunnelDaemon daemon(std::move(*config));
  return daemon.run();
}
