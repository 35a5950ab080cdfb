// Administrator rights for a batch of tool runs. As root a run is a plain child; otherwise one
// elevation (pkexec) starts the sibling runner, which lives as long as this object and runs each
// tool sent to it. Either way a tool runs with a cleared environment in its own working folder.
// A tool is either run to its end (run) or started as a detached daemon (launch), which outlives
// this object and the runner.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::auth {

struct Options {
  std::string elevator = "/usr/bin/pkexec";
  std::string runner;           // empty: "gelmora-auth-runner" beside the running program
  bool forceElevation = false;  // take the runner path even as root (tests)
};

struct RunResult {
  int err = 0;         // 0, or an errno: the tool could not be started or the runner is gone
  pid_t pid = -1;      // the tool's own process id
  int status = 0;      // its wait status
  std::string output;  // its standard output (bounded)
};

class Authorization {
 public:
  static constexpr std::size_t kMaxMessage = 64 * 1024;
  static constexpr std::size_t kMaxOutput = 1024 * 1024;
  static constexpr std::size_t kMaxArgs = 256;

  ~Authorization();
  Authorization(const Authorization&) = delete;
  Authorization& operator=(const Authorization&) = delete;

  // None when the rights are refused or no way to get them exists (*err says which: EACCES,
  // ENOENT, or EPERM for a runner that is not owned by root or is writable by others).
  static std::unique_ptr<Authorization> obtain(const Options& options, int* err = nullptr);
  // Whether privileged runs are possible at all here: root, or an executable elevator.
  static bool available(const Options& options);

  RunResult run(const std::string& tool, const std::vector<std::string>& args,
                const std::string& cwd);
  // Starts the tool detached (own session, no controlling terminal, stdin and stdout on
  // /dev/null, stderr kept) and returns once it has been executed: pid is the daemon's own,
  // err an errno when it could not be started. Nothing waits for it.
  RunResult launch(const std::string& tool, const std::vector<std::string>& args,
                   const std::string& cwd);
  bool elevated() const { return runner_pid_ > 0; }

 private:
  Authorization() = default;
  RunResult send(int mode, const std::string& tool, const std::vector<std::string>& args,
                 const std::string& cwd);

  pid_t runner_pid_ = -1;
  int to_runner_ = -1;
  int from_runner_ = -1;
};

// The checks a tool must pass before it runs as root: absolute path, a regular file owned by root
// and not writable by group or others. 0 or an errno.
int checkTool(const std::string& tool);

// Runs one tool as this process may (the runner's and the root path's common step).
RunResult runDirect(const std::string& tool, const std::vector<std::string>& args,
                    const std::string& cwd);
// Starts one tool detached, as launch() does, as this process may.
RunResult launchDirect(const std::string& tool, const std::vector<std::string>& args,
                       const std::string& cwd);

namespace wire {
// What the runner does with a request's tool.
enum class Mode : uint32_t { Run = 0, Launch = 1 };
// Request: mode, then strings cwd, tool, args... Reply: err, pid, status, output. Each frame is a
// u32 length and its bytes; decoders reject anything out of bounds.
std::string encodeRequest(const std::string& cwd, const std::string& tool,
                          const std::vector<std::string>& args, Mode mode = Mode::Run);
bool decodeRequest(const std::string& frame, std::string* cwd, std::string* tool,
                   std::vector<std::string>* args, Mode* mode = nullptr);
std::string encodeReply(const RunResult& r);
bool decodeReply(const std::string& frame, RunResult* r);
// Whole frames over a descriptor; false on end, error or a length beyond `max`.
bool writeFrame(int fd, const std::string& payload);
bool readFrame(int fd, std::string* payload, std::size_t max);
}  // namespace wire

}  // namespace platform::auth
