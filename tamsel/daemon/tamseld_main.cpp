// tamseld: the traffic filter as a root daemon, on the Linux back end.
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "Backend.h"
#include "Daemon.h"
#include "platform/kctl/wire.h"
#include "platform/kern/linux.h"
#include "platform/kern/sim.h"
#include "rules.h"
#include "tamsel/kctl_abi.h"
#include "tamsel_internal.h"

namespace {

// On Linux a socket is seen first when it sends, so one made while a switch was off would be
// attached once it is on. Such sockets are marked declined just before their switch turns on.
void before_option(int option) {
  using namespace tamsel;
  namespace lb = platform::kern::linux_backend;
  bool tcp = false, udp = false, icmp = false;
  switch (option) {
    case abi::KCTL_ENABLE_INTERCEPT:
      tcp = udp = icmp = !switch_is_on(&AVintercept);
      // Packets reach the queues only while the master switch is on.
      lb::chains_set_jumps(true);
      break;
    case abi::KCTL_DISABLE_INTERCEPT:
      lb::chains_set_jumps(false);
      return;
    case abi::KCTL_ENABLE_INTERCEPT_TCP:
      tcp = !switch_is_on(&AVintercept_tcp);
      break;
    case abi::KCTL_ENABLE_INTERCEPT_UDP:
      udp = !switch_is_on(&AVintercept_udp);
      break;
    case abi::KCTL_ENABLE_INTERCEPT_ICMP:
      icmp = !switch_is_on(&AVintercept_icmp);
      break;
    default:
      return;
  }
  if (tcp || udp || icmp) lb::decline_existing_sockets(tcp, udp, icmp);
}

// The session's end switched everything off: nothing is queued any more.
void after_disconnect() { platform::kern::linux_backend::chains_set_jumps(false); }

bool protocol_switch_on(uint8_t protocol) {
  using namespace tamsel;
  volatile int32_t* sw = protocol == IPPROTO_TCP   ? &AVintercept_tcp
                         : protocol == IPPROTO_UDP ? &AVintercept_udp
                                                   : &AVintercept_icmp;
  return switch_is_on(&AVintercept) && switch_is_on(sw);
}

// What a killed daemon leaves behind, put back: its chains, the reverse-path setting it noted,
// its run files. Refused while a daemon answers. 0 when nothing is left.
int cleanup() {
  namespace lb = platform::kern::linux_backend;
  namespace wire = platform::kctl::wire;
  platform::kern::sim::set_log_sink(
      [](const std::string& line) { std::fputs(line.c_str(), stderr); });
  const std::string run = wire::run_dir();
  const std::string admin = wire::admin_path(run, tamsel::abi::kControlName);
  if (tamsel::daemon::admin_answers(admin)) {
    std::fprintf(stderr, "tamseld: a daemon still runs (%s answers)\n", admin.c_str());
    return 1;
  }
  int e = lb::chains_remove();
  lb::set_run_dir(run);
  bool restored = lb::restore_noted_settings();
  const std::string control = wire::socket_path(run, tamsel::abi::kControlName);
  for (const std::string& path :
       {control, control + ".new", admin, admin + ".new", run + "/tamseld.pid"}) {
    struct stat st;
    // Only files of the kinds the daemon makes: a folder or anything else there is not ours.
    if (::lstat(path.c_str(), &st) == 0 && (S_ISSOCK(st.st_mode) || S_ISREG(st.st_mode)))
      ::unlink(path.c_str());
  }
  return e == 0 && restored ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  namespace lb = platform::kern::linux_backend;
  if (argc == 2 && std::string(argv[1]) == "--cleanup") return cleanup();
  lb::set_listed_names_source(tamsel::enabled_procnames_snapshot);
  lb::set_option_hook(before_option);
  lb::set_disconnect_hook(after_disconnect);
  lb::set_protocol_switch_source(protocol_switch_on);
  lb::set_run_dir(platform::kctl::wire::run_dir());
  // Records of packets are written after the packets' own work, a batch at a time, and wait up to
  // 2 ms for the next packets' records to share the write.
  lb::set_record_batch_hooks(lb::record_batch_begin, lb::record_batch_end, lb::record_batch_wait);
  // Only the client's own sockets are selected; a client that is root selects every user's.
  int rc = tamsel::daemon::run(argc, argv, "tamseld", nullptr, lb::set_owner_uid);
  // The filter is stopped (or never started): its sockets are closed, so their thread ends.
  lb::sockets_shutdown();
  return rc;
}
