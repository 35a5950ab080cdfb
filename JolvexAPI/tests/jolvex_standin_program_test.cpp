// The stand-in as a program: "standin-account --port 0" prints its address and serves a client.
#include <gtest/gtest.h>
#include <platform/dispatch/PumpedQueue.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "JolvexAPI/JolvexAPI.h"

extern char** environ;

namespace {

TEST(StandinAccountProgram, PrintsItsAddressAndServesAClient) {
  const char* program = std::getenv("STANDIN_ACCOUNT");
  if (!program) GTEST_SKIP() << "STANDIN_ACCOUNT is not set (run through ctest)";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  char* argv[] = {const_cast<char*>(program), const_cast<char*>("--port"), const_cast<char*>("0"),
                  nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);

  FILE* out = fdopen(fds[0], "r");
  char line[256] = {};
  bool gotLine = std::fgets(line, sizeof line, out) != nullptr;
  std::string address = line;
  if (!address.empty() && address.back() == '\n') address.pop_back();

  platform::dispatch::ScopedMainQueue main;
  const std::string prefix = "listening on 127.0.0.1:";
  bool served = false;
  if (gotLine && address.rfind(prefix, 0) == 0) {
    set_JVXDomain(address.substr(std::string("listening on ").size()));
    auto call = std::make_shared<JVX_API_RULE_AREA_ISP_LIST>();
    call->send();
    main.queue().runUntil([&] { return call->status() >= TQAPI::TQAPIStatusSuccess; });
    served = call->status() == TQAPI::TQAPIStatusSuccess;
    set_JVXDomain(std::nullopt);
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  std::fclose(out);
  ASSERT_TRUE(gotLine);
  EXPECT_EQ(address.rfind(prefix, 0), 0u) << address;
  EXPECT_TRUE(served);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
