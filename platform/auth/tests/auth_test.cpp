// Privileged launches through stand-ins for the elevator: one that passes through, one that
// refuses. The runner is the real one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/auth/Authorization.h"

namespace fs = std::filesystem;
using namespace platform::auth;

namespace {

class AuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/auth-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    writeScript("pass", "echo call >> '" + dir_ + "/calls'\nexec \"$@\"\n");
    writeScript("refuse", "exit 126\n");
  }
  void TearDown() override { fs::remove_all(dir_); }
  void writeScript(const std::string& name, const std::string& body) {
    std::ofstream(dir_ + "/" + name) << "#!/bin/sh\n" << body;
    fs::permissions(dir_ + "/" + name, fs::perms::owner_all);
  }
  Options options(const std::string& elevator) {
    Options o;
    o.elevator = dir_ + "/" + elevator;
    o.runner = AUTH_RUNNER_PATH;
    o.forceElevation = true;
    return o;
  }
  size_t calls() {
    std::ifstream in(dir_ + "/calls");
    size_t n = 0;
    for (std::string l; std::getline(in, l);) ++n;
    return n;
  }
  std::string dir_;
};

// The runner is elevated only when root owns it, as it does in a build made as root.
#define SKIP_UNLESS_RUNNER_OWNED_BY_ROOT() \
  if (checkTool(AUTH_RUNNER_PATH) != 0)    \
  GTEST_SKIP() << "the built runner must be owned by root and not writable by others"

TEST_F(AuthTest, BatchThroughOneElevation) {
  SKIP_UNLESS_RUNNER_OWNED_BY_ROOT();
  int err = -1;
  auto auth = Authorization::obtain(options("pass"), &err);
  ASSERT_TRUE(auth) << err;
  EXPECT_TRUE(auth->elevated());
  std::string before = fs::current_path();

  RunResult echo = auth->run("/bin/echo", {"hi", "there"}, "/");
  EXPECT_EQ(echo.err, 0);
  EXPECT_EQ(echo.output, "hi there\n");
  ASSERT_TRUE(WIFEXITED(echo.status));
  EXPECT_EQ(WEXITSTATUS(echo.status), 0);
  EXPECT_GT(echo.pid, 0);
  EXPECT_NE(echo.pid, ::getpid());

  // Each launch in its own folder, with a cleared environment; ours stays as it was.
  RunResult pwd = auth->run("/bin/pwd", {}, dir_);
  EXPECT_EQ(pwd.output, dir_ + "\n");
  EXPECT_EQ(fs::current_path().string(), before);
  ::setenv("AUTH_TEST_SECRET", "x", 1);
  RunResult env = auth->run("/usr/bin/env", {}, "/");
  EXPECT_EQ(env.output, "PATH=/usr/sbin:/usr/bin:/sbin:/bin\n");

  RunResult fails = auth->run("/bin/sh", {"-c", "exit 3"}, "/");
  ASSERT_TRUE(WIFEXITED(fails.status));
  EXPECT_EQ(WEXITSTATUS(fails.status), 3);
  EXPECT_NE(fails.pid, echo.pid);

  // Tools the runner must not run as root.
  struct {
    std::string tool;
    int err;
  } refused[] = {
      {"bin/echo", EINVAL},
      {dir_ + "/missing", ENOENT},
      {dir_, EACCES},
  };
  for (const auto& c : refused) EXPECT_EQ(auth->run(c.tool, {}, "/").err, c.err) << c.tool;
  if (::geteuid() != 0) {
    EXPECT_EQ(auth->run(dir_ + "/pass", {}, "/").err, EPERM);
  }
  EXPECT_EQ(auth->run("/bin/true", {}, dir_ + "/missing").err, ENOENT);  // bad folder

  EXPECT_EQ(calls(), 1u);
}

TEST_F(AuthTest, RefusedOrUnavailable) {
  SKIP_UNLESS_RUNNER_OWNED_BY_ROOT();
  int err = 0;
  EXPECT_FALSE(Authorization::obtain(options("refuse"), &err));
  EXPECT_EQ(err, EACCES);
  Options none = options("no-such-elevator");
  EXPECT_FALSE(Authorization::available(none));
  EXPECT_FALSE(Authorization::obtain(none, &err));
  EXPECT_EQ(err, ENOENT);
}

TEST_F(AuthTest, RunnerOthersCouldReplaceIsNeverElevated) {
  const std::string runner = dir_ + "/gelmora-auth-runner";
  fs::copy_file(AUTH_RUNNER_PATH, runner);
  fs::permissions(runner, fs::perms::owner_all | fs::perms::others_write);
  Options o = options("pass");
  o.runner = runner;
  int err = 0;
  EXPECT_FALSE(Authorization::obtain(o, &err));
  EXPECT_EQ(err, EPERM);
  o.runner = dir_ + "/missing-runner";
  EXPECT_FALSE(Authorization::obtain(o, &err));
  EXPECT_EQ(err, ENOENT);
  EXPECT_EQ(calls(), 0u) << "nobody was asked for rights";
}

TEST_F(AuthTest, WritableToolRefusedAsRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own a tool";
  std::string tool = dir_ + "/tool";
  writeScript("tool", "exit 0\n");
  Options o;
  auto direct = Authorization::obtain(o);
  ASSERT_TRUE(direct);
  EXPECT_FALSE(direct->elevated());
  EXPECT_EQ(direct->run(tool, {}, "/").err, 0);
  fs::permissions(tool, fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(direct->run(tool, {}, "/").err, EPERM);
}

// What a launched tool saw of itself, written by the tool before it turns into a long sleep.
struct Launched {
  pid_t pid = -1, ppid = -1, sid = -1;
  std::string env, args, cwd;
};

std::optional<Launched> readLaunched(const std::string& file) {
  // Waits for the other process to write its report, not for a timer of ours.
  for (int i = 0; i < 500 && !fs::exists(file); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::ifstream in(file);
  if (!in) return std::nullopt;
  Launched l;
  std::string line;
  std::getline(in, line);
  std::istringstream(line) >> l.pid >> l.ppid >> l.sid;
  std::getline(in, l.args);
  std::getline(in, l.cwd);
  std::ostringstream rest;
  rest << in.rdbuf();
  l.env = rest.str();
  return l;
}

TEST_F(AuthTest, LaunchStartsADetachedDaemonAndReturnsAtOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the launched tool";
  SKIP_UNLESS_RUNNER_OWNED_BY_ROOT();
  // Reports itself, then stays alive as a daemon would. stdin is /dev/null: read ends at once.
  writeScript("daemon",
              "read x\n"
              "echo \"$$ $(cut -d' ' -f4,6 /proc/$$/stat)\" > \"$1.tmp\"\n"
              "echo \"$*\" >> \"$1.tmp\"\n"
              "pwd >> \"$1.tmp\"\n"
              "env | grep -v '^PWD=' | grep -v '^SHLVL=' | grep -v '^_=' >> \"$1.tmp\"\n"
              "mv \"$1.tmp\" \"$1\"\n"
              "exec sleep 60\n");
  fs::permissions(dir_ + "/daemon",
                  fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                      fs::perms::others_exec,
                  fs::perm_options::add);
  ::setenv("AUTH_TEST_SECRET", "x", 1);
  struct {
    const char* what;
    Options options;
    size_t elevations;
  } ways[] = {{"through the runner", options("pass"), 1}, {"directly as root", Options{}, 0}};
  int n = 0;
  for (auto& way : ways) {
    SCOPED_TRACE(way.what);
    const std::string report = dir_ + "/report-" + std::to_string(++n);
    size_t before = calls();
    auto auth = Authorization::obtain(way.options);
    ASSERT_TRUE(auth);
    RunResult r = auth->launch(dir_ + "/daemon", {report, "two words"}, dir_);
    ASSERT_EQ(r.err, 0);
    ASSERT_GT(r.pid, 0);
    auth.reset();  // the daemon outlives the rights that started it
    auto seen = readLaunched(report);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->pid, r.pid) << "the pid answered is the daemon's own";
    EXPECT_NE(seen->ppid, ::getpid()) << "not our child";
    EXPECT_NE(seen->sid, ::getsid(0)) << "out of our session";
    EXPECT_EQ(seen->args, report + " two words");
    EXPECT_EQ(seen->cwd, dir_);
    EXPECT_EQ(seen->env, "PATH=/usr/sbin:/usr/bin:/sbin:/bin\n");
    EXPECT_EQ(::kill(r.pid, 0), 0) << "still running";
    ::kill(r.pid, SIGKILL);
    EXPECT_EQ(calls() - before, way.elevations);
  }

  auto auth = Authorization::obtain(options("pass"));
  ASSERT_TRUE(auth);
  EXPECT_EQ(auth->launch(dir_ + "/missing", {}, "/").err, ENOENT);
  EXPECT_EQ(auth->launch(dir_ + "/daemon", {}, dir_ + "/missing").err, ENOENT) << "bad folder";
  fs::permissions(dir_ + "/daemon", fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(auth->launch(dir_ + "/daemon", {}, "/").err, EPERM);
}

TEST(AuthWire, MalformedMessagesRejected) {
  std::string cwd, tool;
  std::vector<std::string> args;
  std::string good = wire::encodeRequest("/", "/bin/ls", {"-l", ""});
  wire::Mode mode = wire::Mode::Launch;
  ASSERT_TRUE(wire::decodeRequest(good, &cwd, &tool, &args, &mode));
  EXPECT_EQ(args, (std::vector<std::string>{"-l", ""}));
  EXPECT_EQ(mode, wire::Mode::Run);
  ASSERT_TRUE(wire::decodeRequest(wire::encodeRequest("/", "/bin/ls", {}, wire::Mode::Launch), &cwd,
                                  &tool, &args, &mode));
  EXPECT_EQ(mode, wire::Mode::Launch);
  std::string nul = wire::encodeRequest("/", std::string("/bin/ls\0x", 9), {});
  struct {
    const char* what;
    std::string frame;
  } bad[] = {
      {"empty", ""},
      {"cut", good.substr(0, good.size() - 1)},
      {"trailing", good + "x"},
      {"unknown mode", std::string("\x02\0\0\0", 4) + good.substr(4)},
      {"mode only", good.substr(0, 4)},
      {"one string", std::string("\0\0\0\0\x01\0\0\0\0\0\0\0", 12)},
      {"huge count", std::string("\0\0\0\0\xff\xff\xff\x7f", 8)},
      {"length past end", std::string("\0\0\0\0\x02\0\0\0\xff\xff\xff\xff", 12)},
      {"embedded zero", nul},
  };
  for (const auto& c : bad)
    EXPECT_FALSE(wire::decodeRequest(c.frame, &cwd, &tool, &args)) << c.what;

  RunResult r{0, 42, 7, "out"}, back;
  std::string reply = wire::encodeReply(r);
  ASSERT_TRUE(wire::decodeReply(reply, &back));
  EXPECT_EQ(back.pid, 42);
  EXPECT_EQ(back.output, "out");
  EXPECT_FALSE(wire::decodeReply(reply.substr(0, 15), &back));
  EXPECT_FALSE(wire::decodeReply(reply + "x", &back));
}

}  // namespace
