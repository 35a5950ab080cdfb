#include "Guardian.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/netext/NetworkSettings.h"

namespace {

constexpr char kCleanStop = 'S';

[[noreturn]] void guard(int fd, const Guardian::Settings& settings) {
  // Its own session: a terminal's Ctrl-C or a hang-up aimed at the daemon does not end it.
  ::setsid();
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) ::signal(sig, SIG_IGN);
  ::prctl(PR_SET_NAME, "galvent-guard", 0, 0, 0);
  // Nothing of the daemon's but the pipe: no socket, no TUN, and not the write end, whose
  // closing is the news it waits for.
  if (fd != 3) {
    ::dup2(fd, 3);
    ::close(fd);
  }
  ::close_range(4, ~0u, 0);
  char byte = 0;
  ssize_t n;
  do {
    n = ::read(3, &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1 && byte == kCleanStop) ::_exit(0);
  std::fprintf(stderr,
               "W the tunnel process ended without a clean stop; putting routes and the "
               "resolver back\n");
  Guardian::putBack(settings);
  ::_exit(0);
}

}  // namespace

void Guardian::putBack(const Settings& settings) {
  if (int rc = platform::netext::removeTunnelPolicy(settings.mark, settings.table); rc != 0)
    std::fprintf(stderr, "W cannot remove the tunnel's rules: %s\n", std::strerror(-rc));
  // Only the resolver file needs it: resolved forgets a link's settings when the TUN goes.
  platform::netext::DnsConfigurator(settings.dnsMode, "").restoreStale();
}

Guardian::~Guardian() { cleanStop(); }

bool Guardian::start(const Settings& settings) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t pid = ::fork();
  if (pid < 0) {
    int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    errno = err;
    return false;
  }
  if (pid == 0) {
    ::close(fds[1]);
    guard(fds[0], settings);
  }
  ::close(fds[0]);
  pid_ = pid;
  pipe_ = fds[1];
  return true;
}

void Guardian::cleanStop() {
  if (pipe_ < 0) return;
  ssize_t n;
  do {
    n = ::write(pipe_, &kCleanStop, 1);
  } while (n < 0 && errno == EINTR);
  ::close(pipe_);
  pipe_ = -1;
  // It exits at once on the byte.
  int status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}
