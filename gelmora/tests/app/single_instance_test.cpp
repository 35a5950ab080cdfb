// One copy per user: pairs started together leave one running copy, which hears the other;
// a copy killed outright leaves its lock to the next; bad socket messages are dropped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct Copy {
  pid_t pid = -1;
  int out = -1;
  std::string text;
  int status = -1;  // wait status once ended

  void start(const std::string& folder) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::dup2(p[1], STDOUT_FILENO);
      ::execl(SINGLE_INSTANCE_PROBE, "single_instance_probe", folder.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(p[1]);
    out = p[0];
  }
  // Reads what the copy printed until `want` appears (true) or the deadline passes.
  bool waitFor(const std::string& want, Clock::time_point deadline) {
    while (text.find(want) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || out < 0) return false;
      pollfd pfd{out, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[256];
      ssize_t n = ::read(out, buf, sizeof buf);
      if (n <= 0) {
        ::close(out);
        out = -1;
        return text.find(want) != std::string::npos;
      }
      text.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  bool ended(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return true;
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 10);  // the other process's exit, not a timer of ours
    }
    return false;
  }
  void kill() {
    if (pid > 0 && status == -1) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    if (out >= 0) ::close(out);
    out = -1;
  }
};

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/single-instance-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(SingleInstanceTest, PairsLeaveOneCopyAndAKilledCopyIsReplaced) {
  for (int round = 0; round < 20; ++round) {
    Copy a, b;
    a.start(dir_);
    b.start(dir_);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    // Exactly one says "first"; the other says "second" and ends with 0.
    ASSERT_TRUE(a.waitFor("\n", deadline) && b.waitFor("\n", deadline)) << "round " << round;
    Copy& first = a.text.rfind("first", 0) == 0 ? a : b;
    Copy& second = &first == &a ? b : a;
    EXPECT_EQ(first.text.substr(0, 6), "first\n") << "round " << round;
    EXPECT_EQ(second.text, "second\n") << "round " << round;
    ASSERT_TRUE(second.ended(deadline));
    EXPECT_TRUE(WIFEXITED(second.status) && WEXITSTATUS(second.status) == 0);
    EXPECT_TRUE(first.waitFor("activated\n", deadline)) << "round " << round;
    EXPECT_EQ(::waitpid(first.pid, nullptr, WNOHANG), 0) << "the first copy ended";
    // Killed outright: its lock and socket stay behind for the next round to take over.
    first.kill();
    second.kill();
  }
}

TEST_F(SingleInstanceTest, OverlongAndUnknownMessagesAreDropped) {
  Copy first;
  first.start(dir_);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  ASSERT_TRUE(first.waitFor("first\n", deadline));
  const std::string socket = dir_ + "/cn.gelmoras.Gelmoras2.socket";
  auto send = [&](const std::string& bytes) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socket.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    // The copy closes the connection once it has judged the message.
    char c;
    pollfd pfd{fd, POLLIN, 0};
    ::poll(&pfd, 1, 5000);
    (void)::recv(fd, &c, 1, 0);
    ::close(fd);
  };
  send("hello\n");
  send(std::string(100, 'a') + "activate\n");
  send("activate" + std::string(70, ' ') + "\n");
  send("activ");
  send("activate\n");  // the one good message
  ASSERT_TRUE(first.waitFor("activated\n", deadline));
  // Only the good one was heard.
  Copy second;
  second.start(dir_);
  ASSERT_TRUE(second.waitFor("second\n", deadline));
  ASSERT_TRUE(first.waitFor("activated\nactivated\n", deadline));
  EXPECT_EQ(first.text, "first\nactivated\nactivated\n");
  // The socket is the user's alone.
  EXPECT_EQ(std::filesystem::status(socket).permissions() &
                (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
            std::filesystem::perms::none);
  second.kill();
  first.kill();
}

}  // namespace
