#include "platform/auth/Authorization.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::auth {

namespace {

bool writeAll(int fd, const void* data, size_t len) {
  auto* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool readAll(int fd, void* data, size_t len) {
  auto* p = static_cast<char*>(data);
  while (len > 0) {
    ssize_t n = ::read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void putU32(std::string* out, uint32_t v) { out->append(reinterpret_cast<const char*>(&v), 4); }

bool getU32(const std::string& in, size_t* pos, uint32_t* v) {
  if (in.size() - *pos < 4) return false;
  std::memcpy(v, in.data() + *pos, 4);
  *pos += 4;
  return true;
}

std::string defaultRunner() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "gelmora-auth-runner";
}

// Two close-on-exec pipes, or none: 0, else the errno of the failure.
int openPipes(int first[2], int second[2]) {
  if (::pipe2(first, O_CLOEXEC) != 0) return errno;
  if (::pipe2(second, O_CLOEXEC) != 0) {
    int e = errno;
    ::close(first[0]);
    ::close(first[1]);
    return e;
  }
  return 0;
}

// The tool's argument vector for execve; the strings stay owned by the caller.
std::vector<char*> toolArgv(const std::string& tool, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(tool.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// The whole environment a launched tool gets.
char kCleanPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// In a forked child: enters `cwd` and becomes `tool`; when either fails, the errno goes to the
// parent through `report` and the child ends.
[[noreturn]] void execOrReport(const std::string& tool, char* const* argv, char* const* envp,
                               const std::string& cwd, int report) {
  int e = 0;
  if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) e = errno;
  if (e == 0) {
    ::execve(tool.c_str(), argv, envp);
    e = errno;
  }
  (void)!::write(report, &e, sizeof e);
  ::_exit(127);
}

}  // namespace

namespace wire {

std::string encodeRequest(const std::string& cwd, const std::string& tool,
                          const std::vector<std::string>& args, Mode mode) {
  std::string out;
  putU32(&out, static_cast<uint32_t>(mode));
  putU32(&out, static_cast<uint32_t>(args.size() + 2));
  for (const std::string* s : {&cwd, &tool}) {
    putU32(&out, static_cast<uint32_t>(s->size()));
    out += *s;
  }
  for (const auto& a : args) {
    putU32(&out, static_cast<uint32_t>(a.size()));
    out += a;
  }
  return out;
}

bool decodeRequest(const std::string& frame, std::string* cwd, std::string* tool,
                   std::vector<std::string>* args, Mode* mode) {
  size_t pos = 0;
  uint32_t kind, count;
  if (!getU32(frame, &pos, &kind) || kind > static_cast<uint32_t>(Mode::Launch)) return false;
  if (!getU32(frame, &pos, &count) || count < 2 || count > Authorization::kMaxArgs + 2)
    return false;
  std::vector<std::string> parts;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t len;
    if (!getU32(frame, &pos, &len) || len > frame.size() - pos) return false;
    std::string s = frame.substr(pos, len);
    // exec takes C strings: an embedded zero would silently cut the argument.
    if (s.find('\0') != std::string::npos) return false;
    parts.push_back(std::move(s));
    pos += len;
  }
  if (pos != frame.size()) return false;
  *cwd = parts[0];
  *tool = parts[1];
  args->assign(parts.begin() + 2, parts.end());
  if (mode) *mode = static_cast<Mode>(kind);
  return true;
}

std::string encodeReply(const RunResult& r) {
  std::string out;
  putU32(&out, static_cast<uint32_t>(r.err));
  putU32(&out, static_cast<uint32_t>(r.pid));
  putU32(&out, static_cast<uint32_t>(r.status));
  putU32(&out, static_cast<uint32_t>(r.output.size()));
  out += r.output;
  return out;
}

bool decodeReply(const std::string& frame, RunResult* r) {
  size_t pos = 0;
  uint32_t err, pid, status, len;
  if (!getU32(frame, &pos, &err) || !getU32(frame, &pos, &pid) || !getU32(frame, &pos, &status) ||
      !getU32(frame, &pos, &len) || len != frame.size() - pos || len > Authorization::kMaxOutput)
    return false;
  r->err = static_cast<int>(err);
  r->pid = static_cast<pid_t>(pid);
  r->status = static_cast<int>(status);
  r->output = frame.substr(pos);
  return true;
}

bool writeFrame(int fd, const std::string& payload) {
  uint32_t len = static_cast<uint32_t>(payload.size());
  return writeAll(fd, &len, 4) && writeAll(fd, payload.data(), payload.size());
}

bool readFrame(int fd, std::string* payload, size_t max) {
  uint32_t len;
  if (!readAll(fd, &len, 4) || len > max) return false;
  payload->resize(len);
  return readAll(fd, payload->data(), len);
}

}  // namespace wire

int checkTool(const std::string& tool) {
  if (tool.empty() || tool[0] != '/') return EINVAL;
  struct stat st;
  if (::stat(tool.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EACCES;
  if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) return EPERM;
  return 0;
}

RunResult runDirect(const std::string& tool, const std::vector<std::string>& args,
                    const std::string& cwd) {
  RunResult r;
  int out[2];
  int report[2];  // carries an exec failure's errno back; closed on a successful exec
  if ((r.err = openPipes(out, report)) != 0) return r;
  std::vector<char*> argv = toolArgv(tool, args);
  char* envp[] = {kCleanPath, nullptr};

  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    execOrReport(tool, argv.data(), envp, cwd, report[1]);
  }
  ::close(out[1]);
  ::close(report[1]);
  if (pid < 0) {
    r.err = errno;
    ::close(out[0]);
    ::close(report[0]);
    return r;
  }
  r.pid = pid;
  int e = 0;
  if (readAll(report[0], &e, sizeof e)) r.err = e;
  ::close(report[0]);
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t room = Authorization::kMaxOutput - r.output.size();
    r.output.append(buf, std::min(room, static_cast<size_t>(n)));
  }
  ::close(out[0]);
  while (::waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
  }
  return r;
}

RunResult launchDirect(const std::string& tool, const std::vector<std::string>& args,
                       const std::string& cwd) {
  RunResult r;
  // ids: the daemon's pid, from the middle child. report: an exec failure's errno from the
  // daemon, closed unread on a successful exec.
  int ids[2], report[2];
  if ((r.err = openPipes(ids, report)) != 0) return r;
  std::vector<char*> argv = toolArgv(tool, args);
  char* envp[] = {kCleanPath, nullptr};

  pid_t child = ::fork();
  if (child == 0) {
    // The middle child leaves our session and exits at once, so the daemon is nobody's child
    // to reap and no terminal signal of ours reaches it.
    ::setsid();
    pid_t daemon = ::fork();
    if (daemon != 0) {
      (void)!::write(ids[1], &daemon, sizeof daemon);
      ::_exit(daemon < 0 ? 1 : 0);
    }
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      if (null > STDERR_FILENO) ::close(null);
    }
    // Nothing of ours (the runner's channel, the app's sockets) may live on in the daemon.
    (void)::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    execOrReport(tool, argv.data(), envp, cwd, report[1]);
  }
  ::close(ids[1]);
  ::close(report[1]);
  if (child < 0) {
    r.err = errno;
    ::close(ids[0]);
    ::close(report[0]);
    return r;
  }
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_t daemon = -1;
  if (!readAll(ids[0], &daemon, sizeof daemon) || daemon <= 0) r.err = ECHILD;
  ::close(ids[0]);
  if (r.err == 0) {
    r.pid = daemon;
    int e = 0;
    if (readAll(report[0], &e, sizeof e)) r.err = e;
  }
  ::close(report[0]);
  return r;
}

bool Authorization::available(const Options& options) {
  if (::geteuid() == 0 && !options.forceElevation) return true;
  return !options.elevator.empty() && ::access(options.elevator.c_str(), X_OK) == 0;
}

std::unique_ptr<Authorization> Authorization::obtain(const Options& options, int* err) {
  int dummy;
  if (!err) err = &dummy;
  std::unique_ptr<Authorization> a(new Authorization);
  if (::geteuid() == 0 && !options.forceElevation) {
    *err = 0;
    return a;
  }
  if (!available(options)) return *err = ENOENT, nullptr;
  std::string runner = options.runner.empty() ? defaultRunner() : options.runner;
  // The runner gets root: one that someone else could have replaced is never elevated.
  if (int bad = checkTool(runner); bad != 0) return *err = bad == ENOENT ? ENOENT : EPERM, nullptr;
  int in[2], out[2];
  if ((*err = openPipes(in, out)) != 0) return nullptr;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::execl(options.elevator.c_str(), options.elevator.c_str(), runner.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (pid < 0) {
    *err = errno;
    ::close(in[1]);
    ::close(out[0]);
    return nullptr;
  }
  a->runner_pid_ = pid;
  a->to_runner_ = in[1];
  a->from_runner_ = out[0];
  // The runner greets once it runs with the rights; a refused elevation ends without a word.
  std::string hello;
  if (!wire::readFrame(a->from_runner_, &hello, 16) || hello != "ready") {
    *err = EACCES;
    return nullptr;  // the destructor reaps the elevator
  }
  *err = 0;
  return a;
}

RunResult Authorization::run(const std::string& tool, const std::vector<std::string>& args,
                             const std::string& cwd) {
  return send(static_cast<int>(wire::Mode::Run), tool, args, cwd);
}

RunResult Authorization::launch(const std::string& tool, const std::vector<std::string>& args,
                                const std::string& cwd) {
  return send(static_cast<int>(wire::Mode::Launch), tool, args, cwd);
}

RunResult Authorization::send(int mode, const std::string& tool,
                              const std::vector<std::string>& args, const std::string& cwd) {
  const auto how = static_cast<wire::Mode>(mode);
  if (runner_pid_ <= 0) {
    RunResult r;
    if ((r.err = checkTool(tool)) != 0) return r;
    return how == wire::Mode::Launch ? launchDirect(tool, args, cwd) : runDirect(tool, args, cwd);
  }
  RunResult r;
  if (args.size() > kMaxArgs) return r.err = E2BIG, r;
  std::string req = wire::encodeRequest(cwd, tool, args, how);
  if (req.size() > kMaxMessage) return r.err = E2BIG, r;
  std::string reply;
  if (!wire::writeFrame(to_runner_, req) ||
      !wire::readFrame(from_runner_, &reply, kMaxOutput + 16) || !wire::decodeReply(reply, &r)) {
    RunResult gone;
    gone.err = EPIPE;
    return gone;
  }
  return r;
}

Authorization::~Authorization() {
  if (to_runner_ >= 0) ::close(to_runner_);  // the runner ends at the end of its input
  if (from_runner_ >= 0) ::close(from_runner_);
  if (runner_pid_ > 0)
    while (::waitpid(runner_pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace platform::auth
