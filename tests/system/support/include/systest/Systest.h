// Support for whole-system tests: network namespaces, veth links, child processes started
// inside a namespace, shell commands and polling. Everything a test creates is removed by the
// owning object's destructor, so a failing assertion still leaves the machine as it was.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace systest {

// Empty when the test can run (root, network namespaces work); otherwise why it cannot.
std::string skipReason();

struct Result {
  int status = -1;     // exit code; 128+signal when killed; -1 when it could not run
  std::string output;  // stdout and stderr together
  bool ok() const { return status == 0; }
};

// Runs `command` with /bin/sh -c in the caller's namespace.
Result sh(const std::string& command);

// "<prefix>-<pid>": unique per test process, short enough for namespace names.
std::string uniqueName(const std::string& prefix);

// Polls `condition` every 20 ms until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A named network namespace (as `ip netns` knows it) with its loopback up. A stale one of the
// same name is deleted first; the destructor kills every process still inside and deletes it.
class Netns {
 public:
  explicit Netns(std::string name);
  ~Netns();
  Netns(const Netns&) = delete;
  Netns& operator=(const Netns&) = delete;

  const std::string& name() const { return name_; }
  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // A shell command run inside the namespace.
  Result sh(const std::string& command) const;
  bool ok(const std::string& command) const { return sh(command).ok(); }

  // Moves the calling thread into the namespace until the guard ends.
  class Enter {
   public:
    explicit Enter(const Netns& ns);
    ~Enter();
    Enter(const Enter&) = delete;
    Enter& operator=(const Enter&) = delete;
    bool entered() const { return entered_; }

   private:
    int previous_ = -1;
    bool entered_ = false;
  };

 private:
  std::string name_;
  int fd_ = -1;
};

// A veth pair from `a` to `b`, addressed ("198.51.100.1/24") and up on both ends.
bool veth(const Netns& a, const std::string& ifA, const std::string& cidrA, const Netns& b,
          const std::string& ifB, const std::string& cidrB);

// Set fields one by one: designated initializers that leave fields out trip
// -Wmissing-field-initializers under GCC 12.
struct SpawnOptions {
  const Netns* netns = nullptr;        // where the child runs; the caller's namespace when null
  std::vector<std::string> env;        // extra NAME=VALUE entries
  bool inheritEnv = true;              // start from the test's environment
  std::string logFile;                 // stdout+stderr; a temporary file when empty
  std::string workdir;                 // working folder; unchanged when empty
  uid_t uid = static_cast<uid_t>(-1);  // run as this user (root only); unchanged when -1
};

// A child process. The destructor kills (SIGKILL) and reaps it if it still runs and removes a
// temporary log file.
class Process {
 public:
  Process() = default;
  static Process spawn(std::vector<std::string> argv, SpawnOptions options = {});
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // The exit code (128+signal when killed) once it ended within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  void signal(int sig);
  // What it wrote so far to stdout and stderr.
  std::string log() const;
  const std::string& logPath() const { return logPath_; }

 private:
  void reset();
  pid_t pid_ = -1;
  std::optional<int> exit_;
  std::string logPath_;
  bool ownLog_ = false;
};

// A temporary folder removed with its content at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "systest");
  // Made under `parent` instead of the temporary folder: privileged loaders refuse files below a
  // folder that others may write, such as /tmp.
  TempDir(const std::string& prefix, const std::filesystem::path& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace systest
