#include "Daemon.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Backend.h"
#include "platform/kctl/wire.h"
#include "platform/kern/linux.h"
#include "platform/kern/sim.h"
#include "tamsel/kctl_abi.h"
#include "tamsel/tamsel.h"

namespace tamsel::daemon {

namespace {

namespace wire = platform::kctl::wire;

std::string stats_json() {
  TamselStats s = tamsel_stats();
  char ip[INET_ADDRSTRLEN] = "";
  in_addr a{s.client_ip};
  inet_ntop(AF_INET, &a, ip, sizeof ip);
  char buf[1024];
  std::snprintf(
      buf, sizeof buf,
      "{\"attached\":%d,\"lists\":{\"enabled_procname\":%zu,\"black_procname\":%zu,"
      "\"white_rule\":%zu,\"black_rule\":%zu,\"unanalyzed_domain\":%zu,\"intercept_ippacket\":%zu,"
      "\"undetached_so\":%zu,\"dns_rule\":%zu,\"dns_lookup_data\":%zu,\"ip_to_domain\":%zu},"
      "\"server_sockets\":%zu,\"switches\":{\"intercept\":%d,\"tcp\":%d,\"udp\":%d,\"icmp\":%d,"
      "\"dns\":%d,\"reduce_tcp_mss\":%d},\"vni\":%d,\"client_ip\":\"%s\",\"edns_servers\":%d,"
      "\"tcp_mss_local_min\":%d,\"global_socket_id\":%d,\"stream_limit\":%u,"
      "\"entrance_update\":\"%s\"}",
      s.attached, s.enabled_procnames, s.black_procnames, s.white_rules, s.black_rules,
      s.unanalyzed_domains, s.intercept_entries, s.undetached_sockets, s.dns_rules, s.dns_lookups,
      s.ip_to_domains, s.server_sockets, s.intercept, s.intercept_tcp, s.intercept_udp,
      s.intercept_icmp, s.intercept_dns, s.reduce_tcp_mss, s.vni, ip, s.edns_servers,
      s.tcp_mss_local_min, s.global_socket_id, s.stream_limit, s.entrance_update);
  return buf;
}

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--foreground] [--allow-uid UID]\n", program);
  return 2;
}

}  // namespace

bool admin_answers(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return live;
}

namespace {

int listen_admin(const std::string& path) {
  // Listening before it appears under its name, so a client that sees it can connect.
  const std::string staging = path + ".new";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (staging.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, staging.c_str(), staging.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  ::unlink(staging.c_str());
  mode_t old = ::umask(0177);
  int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::umask(old);
  if (rc != 0 || ::chmod(staging.c_str(), 0600) != 0 || ::listen(fd, 8) != 0 ||
      ::rename(staging.c_str(), path.c_str()) != 0) {
    int e = errno;
    if (rc == 0) ::unlink(staging.c_str());
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

}  // namespace

int run(int argc, char** argv, const char* program, ExtraCommand extra, OwnerHook owner) {
  bool foreground = false;
  uid_t allow_uid = ::geteuid();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--foreground") {
      foreground = true;
    } else if (a == "--allow-uid" && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      unsigned long v = std::strtoul(argv[++i], &end, 10);
      if (errno || !end || *end || argv[i][0] == '\0' || argv[i][0] == '-' || v > 0xfffffffeUL)
        return usage(program);
      allow_uid = static_cast<uid_t>(v);
    } else {
      return usage(program);
    }
  }
  if (foreground) {
    platform::kern::sim::set_log_sink(
        [](const std::string& line) { std::fputs(line.c_str(), stderr); });
  } else {
    ::openlog(program, LOG_PID, LOG_DAEMON);
    platform::kern::sim::set_log_sink(
        [](const std::string& line) { ::syslog(LOG_INFO, "%s", line.c_str()); });
  }
  const std::string run_dir = wire::run_dir();
  ::mkdir(run_dir.c_str(), 0755);
  struct stat st;
  if (::stat(run_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "%s: run folder %s missing\n", program, run_dir.c_str());
    return 1;
  }
  platform::kern::linux_backend::configure_control({run_dir, allow_uid});
  if (owner) owner(allow_uid);

  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);  // before any thread starts
  sigdelset(&mask, SIGPIPE);
  int sfd = ::signalfd(-1, &mask, SFD_CLOEXEC);

  const std::string admin = wire::admin_path(run_dir, abi::kControlName);
  const std::string pidfile = run_dir + "/tamseld.pid";
  if (admin_answers(admin)) {
    std::fprintf(stderr, "%s: already running (%s answers)\n", program, admin.c_str());
    return 1;
  }
  ::unlink(pidfile.c_str());  // a killed daemon's: written again once this one runs
  int afd = listen_admin(admin);
  if (afd < 0 || sfd < 0) {
    std::fprintf(stderr, "%s: admin socket %s: %s\n", program, admin.c_str(), std::strerror(errno));
    return 1;
  }
  // The control appears only once the filter runs whole: a client (and the loader waiting for
  // it) must not push rules while the queues and chains are still being set up.
  platform::kern::linux_backend::defer_control_publishing();
  int r = tamsel_start();
  if (r == 0 && (r = platform::kern::linux_backend::publish_controls()) != 0) tamsel_stop();
  if (r != 0) {
    std::fprintf(stderr, "%s: start failed: %s\n", program, std::strerror(r));
    ::close(afd);
    ::unlink(admin.c_str());
    return 1;
  }
  if (FILE* f = std::fopen(pidfile.c_str(), "w")) {
    std::fprintf(f, "%d\n", static_cast<int>(::getpid()));
    std::fclose(f);
  }

  std::vector<int> conns;
  bool running = true;
  auto try_stop = [&]() -> int {
    int e = tamsel_stop();
    if (e == 0) running = false;
    return e;
  };
  while (running) {
    std::vector<pollfd> p{{afd, POLLIN, 0}, {sfd, POLLIN, 0}};
    for (int c : conns) p.push_back({c, POLLIN, 0});
    if (::poll(p.data(), p.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[1].revents & POLLIN) {
      signalfd_siginfo si;
      if (::read(sfd, &si, sizeof si) == sizeof si) {
        if (try_stop() == EBUSY)
          platform::kern::kern_log_line("tamseld: stop refused while a client is attached\n");
      }
    }
    std::vector<int> keep;
    if (p[0].revents & POLLIN) {
      int c = ::accept4(afd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) keep.push_back(c);
    }
    for (size_t i = 2; i < p.size(); ++i) {
      int c = p[i].fd;
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        keep.push_back(c);
        continue;
      }
      char buf[8192];
      ssize_t n = ::recv(c, buf, sizeof buf - 1, 0);
      if (n <= 0) {
        ::close(c);
        continue;
      }
      std::string cmd(buf, static_cast<size_t>(n));
      while (!cmd.empty() && (cmd.back() == '\n' || cmd.back() == '\r')) cmd.pop_back();
      std::string reply;
      if (cmd == "stop") {
        reply = try_stop() == EBUSY ? "EBUSY" : "0";
      } else if (cmd == "stats") {
        reply = stats_json();
      } else if (!(extra && extra(cmd, &reply))) {
        reply = "EINVAL";
      }
      ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      keep.push_back(c);
    }
    conns = keep;
  }
  for (int c : conns) ::close(c);
  ::close(afd);
  ::unlink(admin.c_str());
  ::unlink(pidfile.c_str());
  return 0;
}

}  // namespace tamsel::daemon
