#include "systest/Systest.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace systest {

namespace {

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

std::string skipReason() {
  if (::geteuid() != 0) return "needs root: it makes network namespaces, links and routes";
  static const std::string reason = [] {
    const std::string probe = uniqueName("systest-probe");
    auto made = sh("ip netns add " + probe);
    if (!made.ok()) return "network namespaces unavailable: " + made.output;
    sh("ip netns del " + probe);
    return std::string();
  }();
  return reason;
}

Result sh(const std::string& command) {
  Result r;
  const std::string full = "( " + command + " ) 2>&1";
  FILE* p = ::popen(full.c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) r.output.append(buffer, n);
  r.status = decodeStatus(::pclose(p));
  return r;
}

std::string uniqueName(const std::string& prefix) {
  return prefix + "-" + std::to_string(::getpid());
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Netns::Netns(std::string name) : name_(std::move(name)) {
  systest::sh("ip netns pids " + name_ + " 2>/dev/null | xargs -r kill -9; ip netns del " + name_ +
              " 2>/dev/null");
  if (!systest::sh("ip netns add " + name_).ok()) return;
  fd_ = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ >= 0) systest::sh("ip -n " + name_ + " link set lo up");
}

Netns::~Netns() {
  if (fd_ >= 0) ::close(fd_);
  // Processes still inside would keep the namespace (and its links) alive.
  for (int i = 0; i < 50; ++i) {
    auto pids = systest::sh("ip netns pids " + name_ + " 2>/dev/null");
    if (pids.output.find_first_of("0123456789") == std::string::npos) break;
    systest::sh("ip netns pids " + name_ + " | xargs -r kill -9");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  systest::sh("ip netns del " + name_ + " 2>/dev/null");
}

Result Netns::sh(const std::string& command) const {
  return systest::sh("ip netns exec " + name_ + " /bin/sh -c " + quote(command));
}

Netns::Enter::Enter(const Netns& ns) {
  previous_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (previous_ < 0 || ns.fd() < 0) return;
  entered_ = ::setns(ns.fd(), CLONE_NEWNET) == 0;
}

Netns::Enter::~Enter() {
  if (entered_) (void)::setns(previous_, CLONE_NEWNET);
  if (previous_ >= 0) ::close(previous_);
}

bool veth(const Netns& a, const std::string& ifA, const std::string& cidrA, const Netns& b,
          const std::string& ifB, const std::string& cidrB) {
  return sh("ip -n " + a.name() + " link add " + ifA + " type veth peer name " + ifB + " netns " +
            b.name())
             .ok() &&
         sh("ip -n " + a.name() + " addr add " + cidrA + " dev " + ifA).ok() &&
         sh("ip -n " + b.name() + " addr add " + cidrB + " dev " + ifB).ok() &&
         sh("ip -n " + a.name() + " link set " + ifA + " up").ok() &&
         sh("ip -n " + b.name() + " link set " + ifB + " up").ok();
}

Process Process::spawn(std::vector<std::string> argv, SpawnOptions options) {
  Process p;
  if (argv.empty()) return p;
  if (options.logFile.empty()) {
    char path[] = "/tmp/systest-log-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    options.logFile = path;
    p.ownLog_ = true;
  }
  p.logPath_ = options.logFile;

  // Everything the child needs is prepared before fork: only async-signal-safe calls after.
  std::vector<std::string> envStore;
  if (options.inheritEnv)
    for (char** e = environ; e && *e; ++e) envStore.emplace_back(*e);
  for (auto& e : options.env) envStore.push_back(e);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const int logFd =
      ::open(options.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int nsFd = options.netns ? options.netns->fd() : -1;

  p.pid_ = ::fork();
  if (p.pid_ == 0) {
    ::setpgid(0, 0);
    if (nsFd >= 0 && ::setns(nsFd, CLONE_NEWNET) != 0) ::_exit(126);
    if (logFd >= 0) {
      ::dup2(logFd, STDOUT_FILENO);
      ::dup2(logFd, STDERR_FILENO);
    }
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
    if (!options.workdir.empty() && ::chdir(options.workdir.c_str()) != 0) ::_exit(126);
    if (options.uid != static_cast<uid_t>(-1) && ::setuid(options.uid) != 0) ::_exit(126);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  if (logFd >= 0) ::close(logFd);
  return p;
}

Process::~Process() { reset(); }

void Process::reset() {
  if (pid_ > 0 && !exit_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (ownLog_ && !logPath_.empty()) ::unlink(logPath_.c_str());
  pid_ = -1;
  exit_.reset();
  logPath_.clear();
  ownLog_ = false;
}

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = other.pid_;
    exit_ = other.exit_;
    logPath_ = std::move(other.logPath_);
    ownLog_ = other.ownLog_;
    other.pid_ = -1;
    other.exit_.reset();
    other.logPath_.clear();
    other.ownLog_ = false;
  }
  return *this;
}

bool Process::running() {
  if (pid_ <= 0 || exit_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exit_ = decodeStatus(status);
    return false;
  }
  return true;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  waitFor([&] { return !running(); }, timeout);
  return exit_;
}

void Process::signal(int sig) {
  if (pid_ > 0 && !exit_) ::kill(pid_, sig);
}

std::string Process::log() const {
  std::ifstream in(logPath_, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TempDir::TempDir(const std::string& prefix)
    : TempDir(prefix, std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::string& prefix, const std::filesystem::path& parent) {
  std::string pattern = (parent / (prefix + "-XXXXXX")).string();
  if (char* made = ::mkdtemp(pattern.data())) path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

}  // namespace systest
