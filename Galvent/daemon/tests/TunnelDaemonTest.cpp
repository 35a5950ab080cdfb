// galvent-tunnel as a process in a private network namespace: control protocol, failed starts
// reported as errors with everything undone, stop before start.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/netext/ControlSocket.h"

using namespace platform::netext;
using namespace std::chrono_literals;

namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char b[512];
  while (size_t n = std::fread(b, 1, sizeof b, p)) out.append(b, n);
  ::pclose(p);
  return out;
}

class TunnelDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: the daemon makes a TUN device and routes";
    static bool moved = ::unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0;
    ASSERT_TRUE(moved);
    dir_ = std::filesystem::temp_directory_path() / ("gvt-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    control_ = (dir_ / "control").string();
  }
  void TearDown() override {
    // The daemon goes by its pid, whatever happened.
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  void launch(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        GALVENT_TUNNEL_PATH, "--control", control_,           "--owner-uid", "0",
        "--dns-config",      "none",      "--container-root", dir_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 200 && client_.connect(control_) != 0; ++i)
      std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(client_.connected()) << "the daemon never listened";
    auto hello = client_.receiveKind(DaemonMessageKind::Status, 5s);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->status, VpnStatus::Disconnected);
  }
  int exitStatus() {
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -2;
  }
  std::filesystem::path dir_;
  std::string control_;
  pid_t pid_ = -1;
  ControlClient client_;
};

TEST_F(TunnelDaemon, BadFlagsAreRefused) {
  for (const char* flags : {"", "--control /tmp/x", "--control /tmp/x --owner-uid -1",
                            "--control /tmp/x --owner-uid 0 --dns-config maybe",
                            "--control /tmp/x --owner-uid 0 --table 254"}) {
    auto out = run(std::string(GALVENT_TUNNEL_PATH) + " " + flags + " 2>&1; echo rc=$?");
    EXPECT_NE(out.find("rc=2"), std::string::npos) << flags << ": " << out;
  }
}

TEST_F(TunnelDaemon, BadMessagesGetAnErrorAndTheConnectionStays) {
  launch();
  for (const char* text :
       {"not json", "[1]", R"({"cmd":"fly"})", R"({"cmd":"stop","reason":"x"})"}) {
    ASSERT_EQ(sendControlMessage(client_.fd(), text), 0);
    auto reply = client_.receive(5s);
    ASSERT_TRUE(reply) << text;
    EXPECT_EQ(reply->kind, DaemonMessageKind::Error) << text;
  }
  // A message before any tunnel gets a null reply; the status is still answered.
  ASSERT_EQ(client_.send(ControlRequest::message("GVProviderTrafficInfoCommand")), 0);
  auto reply = client_.receiveKind(DaemonMessageKind::Reply, 5s);
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->reply);
  ASSERT_EQ(client_.send(ControlRequest::stop(1)), 0);
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_FALSE(std::filesystem::exists(control_));
}

TEST_F(TunnelDaemon, StartWithoutASessionFailsWithAnErrorAndLeavesNothingBehind) {
  launch();
  ASSERT_EQ(client_.send(ControlRequest::start(nlohmann::json::object())), 0);
  std::optional<DaemonMessage> last;
  while (auto m = client_.receiveKind(DaemonMessageKind::Status, 10s)) {
    last = m;
    if (m->status == VpnStatus::Disconnected) break;
  }
  ASSERT_TRUE(last);
  EXPECT_EQ(last->status, VpnStatus::Disconnected);
  ASSERT_TRUE(last->error);
  EXPECT_EQ(last->error->description, "NO proxy matched.");
  EXPECT_EQ(exitStatus(), 1);
  EXPECT_EQ(run("ip -o link show").find("gvtun"), std::string::npos);
  EXPECT_EQ(run("ip rule show").find("lookup 5160"), std::string::npos);
}

TEST_F(TunnelDaemon, TermSignalStopsWithReasonZero) {
  launch();
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(exitStatus(), 0);
}

}  // namespace
