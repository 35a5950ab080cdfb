#include "ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace gelmora::child {

Outcome run(const std::string& tool, const std::vector<std::string>& args, std::string* output,
            std::size_t cap) {
  Outcome o;
  // A word with a NUL byte cannot reach the child as it is: refuse rather than cut it short.
  if (tool.empty() || tool.find('\0') != std::string::npos) return o.err = ENOENT, o;
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (const auto& a : args) {
    if (a.find('\0') != std::string::npos) return o.err = EINVAL, o;
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  int pipefd[2] = {-1, -1};
  if (output && ::pipe2(pipefd, O_CLOEXEC) != 0) return o.err = errno, o;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDOUT_FILENO);
  pid_t pid = -1;
  int err = ::posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) {
    ::close(pipefd[1]);
    if (err == 0) {
      char buf[4096];
      for (;;) {
        ssize_t n = ::read(pipefd[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::size_t take =
            std::min(static_cast<std::size_t>(n), cap - std::min(cap, output->size()));
        output->append(buf, take);
      }
    }
    ::close(pipefd[0]);
  }
  if (err != 0) return o.err = err, o;
  o.started = true;
  while (::waitpid(pid, &o.status, 0) < 0 && errno == EINTR) {
  }
  return o;
}

int exitCode(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

}  // namespace gelmora::child
