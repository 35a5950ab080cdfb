#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "gelmora/Service/Tools/Utils.h"

extern char** environ;

namespace {

struct Paths {
  std::mutex mutex;
  std::string zandrel, kext, kextstat;
};

Paths& paths() {
  static Paths p;
  return p;
}

std::string get(std::string Paths::*field) {
  std::lock_guard lock(paths().mutex);
  return paths().*field;
}

void set(std::string Paths::*field, std::string value) {
  std::lock_guard lock(paths().mutex);
  paths().*field = std::move(value);
}

// Runs the tool and waits; its output is captured when `output` is given. False when it could
// not be started.
bool run(const std::string& tool, const std::vector<std::string>& args, std::string* output) {
  if (tool.empty()) return false;
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipefd[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) {
    if (::pipe2(pipefd, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDOUT_FILENO);
  }
  pid_t pid;
  int err = ::posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) ::close(pipefd[1]);
  if (err == 0 && output) {
    char buf[1024];
    for (;;) {
      ssize_t n = ::read(pipefd[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (output->size() < 65536) output->append(buf, static_cast<size_t>(n));
    }
  }
  if (output) ::close(pipefd[0]);
  if (err != 0) return false;
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

bool validUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    if (c < 0x80)
      n = 0;
    else if ((c >> 5) == 6)
      n = 1;
    else if ((c >> 4) == 14)
      n = 2;
    else if ((c >> 3) == 30)
      n = 3;
    else
      return false;
    if (s.size() - i - 1 < n) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

void Utils::setZandrelPath(std::string p) { set(&Paths::zandrel, std::move(p)); }
void Utils::setKextPath(std::string p) { set(&Paths::kext, std::move(p)); }
void Utils::setKextstatPath(std::string p) { set(&Paths::kextstat, std::move(p)); }
std::string Utils::zandrelPath() { return get(&Paths::zandrel); }
std::string Utils::kextPath() { return get(&Paths::kext); }
std::string Utils::kextstatPath() { return get(&Paths::kextstat); }

void Utils::loakKEXT() { run(zandrelPath(), {"load", kextPath()}, nullptr); }

void Utils::unloadKEXT() { run(zandrelPath(), {"unload"}, nullptr); }

bool Utils::existKEXT() {
  std::string out;
  if (!run(kextstatPath(), {"-l", "-b", "cn.pelmoor.tamsel"}, &out)) return true;
  return !out.empty() && validUtf8(out);
}
