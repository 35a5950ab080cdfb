// tamseld: the traffic filter as a root daemon, on the Linux back end.
#include "Backend.h"
#include "Daemon.h"
#include "platform/kctl/wire.h"
#include "rules.h"
#include "tamsel/kctl_abi.h"
#include "tamsel_internal.h"

namespace {

// On Linux a socket is seen first when it sends, so one made while a switch was off would be
// attached once it is on. Such sockets are marked declined just before their switch turns on.
void before_option(int option) {
  using namespace tamsel;
  bool tcp = false, udp = false;
  switch (option) {
    case abi::KCTL_ENABLE_INTERCEPT:
      tcp = udp = !switch_is_on(&AVintercept);
      break;
    case abi::KCTL_ENABLE_INTERCEPT_TCP:
      tcp = !switch_is_on(&AVintercept_tcp);
      break;
    case abi::KCTL_ENABLE_INTERCEPT_UDP:
      udp = !switch_is_on(&AVintercept_udp);
      break;
    default:
      return;
  }
  if (tcp || udp) platform::kern::linux_backend::decline_existing_sockets(tcp, udp);
}

}  // namespace

int main(int argc, char** argv) {
  namespace lb = platform::kern::linux_backend;
  lb::set_listed_names_source(tamsel::enabled_procnames_snapshot);
  lb::set_option_hook(before_option);
  lb::set_run_dir(platform::kctl::wire::run_dir());
  int rc = tamsel::daemon::run(argc, argv, "tamseld");
  // The filter is stopped (or never started): its sockets are closed, so their thread ends.
  lb::sockets_shutdown();
  return rc;
}
