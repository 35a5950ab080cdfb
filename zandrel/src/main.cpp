// zandrel: set-user-id root loader of the traffic filter daemon.
//   zandrel load <path of tamseld>   starts the sibling tamseld, 0 once its control answers
//   zandrel unload                   stops it; 1 while a client holds the control; when none
//                                    answers, has the sibling tamseld clean up what a killed one
//                                    left (1 only when that fails)
//   zandrel flushdns1 | flushdns2    flushes the system's DNS caches
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/kctl/Client.h"
#include "platform/kctl/wire.h"
#include "tamsel/kctl_abi.h"

namespace {

namespace wire = platform::kctl::wire;
constexpr char kSafePath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

int fail(const char* fmt, const char* arg = "") {
  std::fprintf(stderr, "zandrel: ");
  std::fprintf(stderr, fmt, arg);
  std::fprintf(stderr, "\n");
  return 1;
}

// Owned by root and writable by nobody else.
bool root_safe(const struct stat& st) {
  return st.st_uid == 0 && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// Every folder from "/" down to the daemon, and the daemon itself, is opened by descriptor and
// checked on that descriptor: root-owned, not writable by group or others, no symbolic link on
// the way. A user who can rename or replace any component above the daemon could otherwise swap
// the file between our check and the exec.
int open_checked_chain(const std::string& path, int* out_fd) {
  if (path.empty() || path[0] != '/') return fail("%s: not an absolute path", path.c_str());
  int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open /");
  std::string walked;
  size_t pos = 1;
  while (true) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !root_safe(st)) {
      ::close(fd);
      return fail(
          "%s: every folder on the way must be root-owned and not writable by group or others",
          walked.empty() ? "/" : walked.c_str());
    }
    if (pos >= path.size()) break;
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string name = path.substr(pos, next - pos);
    pos = next + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      ::close(fd);
      return fail("%s: '..' not accepted", path.c_str());
    }
    walked += "/" + name;
    bool last = next >= path.size();
    int child =
        ::openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY));
    ::close(fd);
    if (child < 0) return fail("%s: cannot open (a symbolic link or missing)", walked.c_str());
    fd = child;
    if (last) {
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !root_safe(st)) {
        ::close(fd);
        return fail("%s: must be a root-owned file not writable by group or others",
                    walked.c_str());
      }
      break;
    }
  }
  *out_fd = fd;
  return 0;
}

// The only daemon we start: the tamseld beside this tool. Answers an O_PATH descriptor of it.
int check_daemon_path(const char* arg, int* daemon_fd) {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return fail("cannot find own path");
  self[n] = 0;
  std::string dir = ::dirname(self);
  std::string sibling = dir + "/tamseld";
  struct stat st;
  if (::lstat(arg, &st) != 0) return fail("%s: no such file", arg);
  if (S_ISLNK(st.st_mode)) return fail("%s: refusing a symbolic link", arg);
  char real[PATH_MAX];
  if (!::realpath(arg, real)) return fail("%s: cannot resolve", arg);
  if (sibling != real) return fail("%s: not the tamseld beside zandrel", arg);
  return open_checked_chain(sibling, daemon_fd);
}

bool probe() {
  std::string path;
  if (platform::kctl::resolve(tamsel::abi::kControlName, &path) != 0) return false;
  platform::kctl::Client c;
  return c.connect(path, true) == 0;
}

// One admin command; empty when the daemon does not answer.
std::string admin(const std::string& cmd) {
  std::string p = wire::admin_path(wire::run_dir(), tamsel::abi::kControlName);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (p.size() >= sizeof a.sun_path) return "";
  std::memcpy(a.sun_path, p.c_str(), p.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  std::string out;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, cmd.data(), cmd.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(cmd.size())) {
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[256];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) out.assign(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

pid_t read_pid() {
  std::FILE* f = std::fopen((wire::run_dir() + "/tamseld.pid").c_str(), "r");
  if (!f) return -1;
  long pid = -1;
  if (std::fscanf(f, "%ld", &pid) != 1) pid = -1;
  std::fclose(f);
  return pid > 1 ? static_cast<pid_t>(pid) : -1;
}

// A live process of that pid that is a tamseld (a killed one's pid may since name another).
bool is_tamseld(pid_t pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r");
  if (!f) return false;
  char comm[32] = "";
  bool same = std::fgets(comm, sizeof comm, f) && std::strcmp(comm, "tamseld\n") == 0;
  std::fclose(f);
  return same;
}

bool wait_gone(pid_t pid, int tenths) {
  for (int i = 0; i < tenths; ++i) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// The daemon starts from a clean state, not the caller's: no supplementary groups, no inherited
// descriptors, "/" as its folder, fixed limits, default signal handling and an empty mask.
void reset_process_state() {
  ::setgroups(0, nullptr);
  if (::chdir("/") != 0) ::_exit(126);
  const struct {
    int resource;
    rlim_t value;
  } limits[] = {{RLIMIT_NOFILE, 65536},
                {RLIMIT_AS, RLIM_INFINITY},
                {RLIMIT_FSIZE, RLIM_INFINITY},
                {RLIMIT_CORE, 0}};
  for (const auto& l : limits) {
    struct rlimit r {
      l.value, l.value
    };
    if (::setrlimit(l.resource, &r) != 0 && l.resource == RLIMIT_NOFILE) {
      r.rlim_cur = r.rlim_max = 4096;
      ::setrlimit(l.resource, &r);
    }
  }
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The sibling tamseld's cleanup run, in the clean state the daemon gets; its exit status.
int run_cleanup() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return fail("cannot find own path");
  self[n] = 0;
  std::string sibling = std::string(::dirname(self)) + "/tamseld";
  int daemon_fd = -1;
  if (open_checked_chain(sibling, &daemon_fd) != 0) return 1;
  pid_t child = ::fork();
  if (child < 0) {
    ::close(daemon_fd);
    return fail("fork failed");
  }
  if (child == 0) {
    reset_process_state();
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    char* const argv[] = {const_cast<char*>("tamseld"), const_cast<char*>("--cleanup"), nullptr};
    ::execveat(daemon_fd, "", argv, environ, AT_EMPTY_PATH);
    ::_exit(127);
  }
  ::close(daemon_fd);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int start_daemon(int daemon_fd, uid_t caller) {
  std::string uid = std::to_string(caller);
  pid_t child = ::fork();
  if (child < 0) return fail("fork failed");
  if (child == 0) {
    // Detached: own session, no terminal, not our child once the middle process exits.
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    reset_process_state();
    int nul = ::open("/dev/null", O_RDWR);
    if (nul >= 0) {
      ::dup2(nul, 0);
      ::dup2(nul, 1);
      ::dup2(nul, 2);
    }
    // Everything above 2 closes at exec, the daemon's own descriptor included.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    char* const argv[] = {const_cast<char*>("tamseld"), const_cast<char*>("--allow-uid"),
                          const_cast<char*>(uid.c_str()), nullptr};
    ::execveat(daemon_fd, "", argv, environ, AT_EMPTY_PATH);
    ::_exit(127);
  }
  int status;
  ::waitpid(child, &status, 0);
  return 0;
}

// Owner of a running filter: the uid its control socket belongs to (root's filter serves the
// whole machine). -1 when none runs.
long running_owner() {
  struct stat st;
  std::string sock = wire::socket_path(wire::run_dir(), tamsel::abi::kControlName);
  if (::lstat(sock.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return -1;
  return static_cast<long>(st.st_uid);
}

bool may_use(uid_t caller) {
  long owner = running_owner();
  return caller == 0 || owner < 0 || owner == static_cast<long>(caller);
}

int load(const char* arg, uid_t caller) {
  int daemon_fd = -1;
  if (check_daemon_path(arg, &daemon_fd) != 0) return 1;
  if (probe()) {
    ::close(daemon_fd);
    // Running for someone else: never report it as ours.
    return may_use(caller) ? 0 : fail("tamseld is owned by another user");
  }
  const std::string run = wire::run_dir();
  ::mkdir(run.c_str(), 0755);
  struct stat st;
  if (::lstat(run.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !root_safe(st)) {
    ::close(daemon_fd);
    return fail("%s: run folder must be a root-owned folder not writable by others", run.c_str());
  }
  int started = start_daemon(daemon_fd, caller);
  ::close(daemon_fd);
  if (started != 0) return 1;
  for (int i = 0; i < 50; ++i) {
    if (probe()) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // Never answered: do not leave it half started.
  pid_t pid = read_pid();
  if (admin("stop") != "0" && pid > 0) ::kill(pid, SIGTERM);
  wait_gone(pid, 50);
  return fail("tamseld did not answer");
}

int unload(uid_t caller) {
  if (!may_use(caller)) return fail("tamseld is owned by another user");
  pid_t pid = read_pid();
  std::string reply = admin("stop");
  if (reply.empty()) {
    // Not running: a killed one may have left its chains and settings behind.
    if (pid > 0 && is_tamseld(pid)) return fail("tamseld runs but does not answer");
    return run_cleanup() == 0 ? 0 : fail("cleaning up after tamseld failed");
  }
  if (reply == "EBUSY") return fail("tamseld is in use");
  if (reply != "0") return fail("tamseld answered %s", reply.c_str());
  return wait_gone(pid, 100) ? 0 : fail("tamseld did not end");
}

int run_tool(const char* path, const char* arg) {
  if (::access(path, X_OK) != 0) return fail("%s not available", path);
  pid_t pid = ::fork();
  if (pid < 0) return fail("fork failed");
  if (pid == 0) {
    ::execl(path, path, arg, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const uid_t caller = ::getuid();
  // The caller's environment is not ours: only a fixed PATH, and the run folder only from root.
  std::string run_dir;
  if (caller == 0) {
    const char* r = std::getenv("TAMSEL_RUN_DIR");
    if (r && *r) run_dir = r;
  }
  ::clearenv();
  ::setenv("PATH", kSafePath, 1);
  if (!run_dir.empty()) ::setenv("TAMSEL_RUN_DIR", run_dir.c_str(), 1);
  ::umask(022);

  std::string cmd = argc > 1 ? argv[1] : "";
  bool ok = (cmd == "load" && argc == 3) ||
            ((cmd == "unload" || cmd == "flushdns1" || cmd == "flushdns2") && argc == 2);
  if (!ok) {
    std::fprintf(stderr, "usage: zandrel load <tamseld path> | unload | flushdns1 | flushdns2\n");
    return 2;
  }
  // Fully root from here on (the tool is set-user-id root).
  if (::setgid(0) != 0 || ::setuid(0) != 0) return fail("needs to run as root (set-user-id)");

  if (cmd == "load") return load(argv[2], caller);
  if (cmd == "unload") return unload(caller);
  if (cmd == "flushdns1") return run_tool("/usr/bin/resolvectl", "flush-caches");
  return run_tool("/usr/sbin/nscd", "--invalidate=hosts");
}
