// Privileged launches through stand-ins for the elevator: one that passes through, one that
// refuses. The runner is the real one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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

TEST_F(AuthTest, BatchThroughOneElevation) {
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
  int err = 0;
  EXPECT_FALSE(Authorization::obtain(options("refuse"), &err));
  EXPECT_EQ(err, EACCES);
  Options none = options("no-such-elevator");
  EXPECT_FALSE(Authorization::available(none));
  EXPECT_FALSE(Authorization::obtain(none, &err));
  EXPECT_EQ(err, ENOENT);
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

TEST(AuthWire, MalformedMessagesRejected) {
  std::string cwd, tool;
  std::vector<std::string> args;
  std::string good = wire::encodeRequest("/", "/bin/ls", {"-l", ""});
  ASSERT_TRUE(wire::decodeRequest(good, &cwd, &tool, &args));
  EXPECT_EQ(args, (std::vector<std::string>{"-l", ""}));
  std::string nul = wire::encodeRequest("/", std::string("/bin/ls\0x", 9), {});
  struct {
    const char* what;
    std::string frame;
  } bad[] = {
      {"empty", ""},
      {"cut", good.substr(0, good.size() - 1)},
      {"trailing", good + "x"},
      {"one string", std::string("\x01\0\0\0\0\0\0\0", 8)},
      {"huge count", std::string("\xff\xff\xff\x7f", 4)},
      {"length past end", std::string("\x02\0\0\0\xff\xff\xff\xff", 8)},
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
