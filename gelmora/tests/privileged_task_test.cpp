// Privileged tool runs through the pass-through and refusing stand-ins for the elevator; the
// status timer in virtual time on a pumped main queue.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "platform/auth/Authorization.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"
#include "platform/notifications/NotificationCenter.h"

namespace fs = std::filesystem;

namespace {

class PrivilegedTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The runner is started as root, so the authorization refuses one that others could replace.
    if (platform::auth::checkTool(AUTH_RUNNER_PATH) != 0)
      GTEST_SKIP() << AUTH_RUNNER_PATH << " is not root-owned or is writable by others";
    char tmpl[] = "/tmp/privtask-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    script("pass", "echo call >> '" + dir_ + "/calls'\nexec \"$@\"\n");
    script("refuse", "exit 126\n");
    use("pass");
  }
  void TearDown() override {
    STPrivilegedTask::setAuthOptions({});
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  void script(const std::string& name, const std::string& body) {
    std::ofstream(dir_ + "/" + name) << "#!/bin/sh\n" << body;
    fs::permissions(dir_ + "/" + name, fs::perms::owner_all);
  }
  void use(const std::string& elevator) {
    platform::auth::Options o;
    o.elevator = dir_ + "/" + elevator;
    o.runner = AUTH_RUNNER_PATH;
    o.forceElevation = true;
    STPrivilegedTask::setAuthOptions(o);
  }
  size_t calls() {
    std::ifstream in(dir_ + "/calls");
    size_t n = 0;
    for (std::string l; std::getline(in, l);) ++n;
    return n;
  }
  platform::dispatch::ScopedMainQueue main_;
  platform::dispatch::ScopedVirtualClock clock_;
  std::string dir_;
};

TEST_F(PrivilegedTaskTest, BatchUnderOneAuthorization) {
  auto task = std::make_shared<STPrivilegedTask>("/bin/ls");
  EXPECT_EQ(task->launch(), STPrivilegedTask::kNotAuthorized);
  EXPECT_FALSE(task->isRunning());
  ASSERT_TRUE(task->setRootPrivilege());

  std::string file = dir_ + "/target";
  std::ofstream(file) << "x";
  task->setLaunchPath("/bin/chmod");
  task->setArguments({"0640", file});
  ASSERT_EQ(task->launch(), 0);
  EXPECT_TRUE(task->isRunning());
  EXPECT_GT(task->processIdentifier(), 0);
  EXPECT_NE(task->processIdentifier(), ::getpid());
  task->waitUntilExit();
  EXPECT_FALSE(task->isRunning());
  EXPECT_TRUE(WIFEXITED(task->terminationStatus()));
  EXPECT_EQ(WEXITSTATUS(task->terminationStatus()), 0);
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  if (::geteuid() == 0) {
    task->setLaunchPath("/usr/bin/chown");
    task->setArguments({"65534:65534", file});
    ASSERT_EQ(task->launch(), 0);
    task->waitUntilExit();
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
  }

  task->setLaunchPath("/bin/sh");
  task->setArguments({"-c", "exit 4"});
  ASSERT_EQ(task->launch(), 0);
  task->waitUntilExit();
  EXPECT_EQ(WEXITSTATUS(task->terminationStatus()), 4);
  EXPECT_EQ(calls(), 1u);
}

TEST_F(PrivilegedTaskTest, StatusTimerEndsRunAndNotifiesOnce) {
  auto task = std::make_shared<STPrivilegedTask>("/bin/true", std::vector<std::string>{});
  ASSERT_TRUE(task->setRootPrivilege());
  int posted = 0;
  auto obs = platform::notifications::NotificationCenter::defaultCenter().observe(
      STPrivilegedTaskDidTerminateNotification, [&](const auto&) { ++posted; });
  ASSERT_EQ(task->launch(), 0);
  ASSERT_EQ(task->launch(), 0);  // a second launch replaces the first one's timer
  EXPECT_EQ(clock_.clock().pendingCount(), 1u);
  task->terminate();  // does nothing
  EXPECT_TRUE(task->isRunning());
  EXPECT_EQ(posted, 0);
  clock_.advance(std::chrono::milliseconds(100));
  main_.queue().pump();
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(posted, 1);
  EXPECT_FALSE(task->hasStatusTimer());
  clock_.advance(std::chrono::seconds(1));
  main_.queue().pump();
  EXPECT_EQ(posted, 1);
}

TEST_F(PrivilegedTaskTest, RefusedAndUnavailable) {
  use("refuse");
  STPrivilegedTask task("/bin/ls");
  EXPECT_FALSE(task.setRootPrivilege());
  EXPECT_EQ(task.launch(), STPrivilegedTask::kNotAuthorized);
  use("no-such-elevator");
  EXPECT_FALSE(task.setRootPrivilege());
  EXPECT_EQ(task.launch(), STPrivilegedTask::kNoPrivilegedExecution);
}

TEST_F(PrivilegedTaskTest, DescriptionEndsWithPathAndArguments) {
  STPrivilegedTask task("/bin/chmod", {"0755", "/opt/x y"});
  std::string d = task.description();
  std::string tail = " /bin/chmod 0755 /opt/x y";
  ASSERT_GE(d.size(), tail.size());
  EXPECT_EQ(d.substr(d.size() - tail.size()), tail);
  EXPECT_EQ(task.currentDirectoryPath(), fs::current_path().string());
}

}  // namespace
