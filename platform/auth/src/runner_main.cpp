// gelmora-auth-runner: started once through the elevator, runs (or starts detached) each tool
// the application sends on stdin and answers on stdout, until its input ends.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/auth/Authorization.h"

using namespace platform::auth;

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  // Answers go on a private descriptor so that nothing a tool prints can reach the channel.
  int reply_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (reply_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;
  if (!wire::writeFrame(reply_fd, "ready")) return 1;
  std::string frame;
  while (wire::readFrame(STDIN_FILENO, &frame, Authorization::kMaxMessage)) {
    std::string cwd, tool;
    std::vector<std::string> args;
    wire::Mode mode = wire::Mode::Run;
    RunResult r;
    if (!wire::decodeRequest(frame, &cwd, &tool, &args, &mode)) {
      std::fprintf(stderr, "gelmora-auth-runner: malformed request\n");
      r.err = EPROTO;
    } else if ((r.err = checkTool(tool)) == 0) {
      r = mode == wire::Mode::Launch ? launchDirect(tool, args, cwd) : runDirect(tool, args, cwd);
    }
    if (!wire::writeFrame(reply_fd, wire::encodeReply(r))) return 1;
  }
  return 0;
}
