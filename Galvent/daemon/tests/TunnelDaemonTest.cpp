// galvent-tunnel as a process in a private network namespace: control protocol, failed starts
// reported as errors with everything undone, stop before start.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/netext/ControlSocket.h"
#include "systest/Systest.h"

using namespace platform::netext;
using namespace std::chrono_literals;

namespace {

class TunnelDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    ns_ = std::make_unique<systest::Netns>(systest::uniqueName("gvt-d"));
    ASSERT_TRUE(ns_->valid());
    dir_ = std::make_unique<systest::TempDir>("gvt");
    control_ = (dir_->path() / "control").string();
  }
  void TearDown() override {
    // The daemon goes by its pid before its namespace, whatever happened.
    daemon_ = systest::Process();
    ns_.reset();
  }
  void launch(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        GALVENT_TUNNEL_PATH, "--control", control_,           "--owner-uid",        "0",
        "--dns-config",      "none",      "--container-root", dir_->path().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    systest::SpawnOptions options;
    options.netns = ns_.get();
    daemon_ = systest::Process::spawn(args, options);
    ASSERT_TRUE(systest::waitFor([&] { return client_.connect(control_) == 0; }, 2s))
        << "the daemon never listened: " << daemon_.log();
    auto hello = client_.receiveKind(DaemonMessageKind::Status, 5s);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->status, VpnStatus::Disconnected);
  }
  std::optional<int> exitStatus() { return daemon_.wait(5s); }

  std::unique_ptr<systest::Netns> ns_;
  std::unique_ptr<systest::TempDir> dir_;
  std::string control_;
  systest::Process daemon_;
  ControlClient client_;
};

TEST_F(TunnelDaemon, BadFlagsAreRefused) {
  for (const char* flags : {"", "--control /tmp/x", "--control /tmp/x --owner-uid -1",
                            "--control /tmp/x --owner-uid 0 --dns-config maybe",
                            "--control /tmp/x --owner-uid 0 --table 254"}) {
    auto r = ns_->sh(std::string(GALVENT_TUNNEL_PATH) + " " + flags);
    EXPECT_EQ(r.status, 2) << flags << ": " << r.output;
  }
}

TEST_F(TunnelDaemon, ControlPathThatIsNotOursIsLeftAlone) {
  namespace fs = std::filesystem;
  const std::string run = std::string(GALVENT_TUNNEL_PATH) + " --control " + control_ +
                          " --owner-uid 0 --dns-config none";
  // A file that is not a socket refuses the start and survives it.
  std::ofstream(control_) << "somebody's data";
  auto r = ns_->sh(run);
  EXPECT_EQ(r.status, 1) << r.output;
  std::ifstream in(control_);
  std::string kept((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(kept, "somebody's data");
  fs::remove(control_);
  // A control folder that others may write is refused before anything is made in it.
  fs::permissions(dir_->path(), fs::perms::all);
  r = ns_->sh(run);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_FALSE(fs::exists(control_));
  EXPECT_TRUE(fs::is_empty(dir_->path()));
  fs::permissions(dir_->path(), fs::perms::owner_all);
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
  EXPECT_EQ(exitStatus(), std::optional<int>(0));
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
  EXPECT_EQ(exitStatus(), std::optional<int>(1));
  EXPECT_EQ(ns_->sh("ip -o link show").output.find("gvtun"), std::string::npos);
  EXPECT_EQ(ns_->sh("ip rule show").output.find("lookup 5160"), std::string::npos);
}

TEST_F(TunnelDaemon, TermSignalStopsWithReasonZero) {
  launch();
  daemon_.signal(SIGTERM);
  EXPECT_EQ(exitStatus(), std::optional<int>(0));
}

}  // namespace
