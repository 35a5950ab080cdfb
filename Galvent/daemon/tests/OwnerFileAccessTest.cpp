// The exit-reason file in the user's container, written by root with the user's file identity.
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "OwnerFileAccess.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kUser = 4243;

class OwnerFileAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: the access switches file identities";
    root_ = fs::temp_directory_path() / ("gvt-owner-" + std::to_string(::getpid()));
    fs::create_directories(root_);
    // Root's own folder, which the user must not be able to reach through the container.
    secret_ = root_ / "root-only";
    fs::create_directories(secret_);
    fs::permissions(secret_, fs::perms::owner_all);
    container_ = root_ / "containers";
    fs::create_directories(container_);
    ASSERT_EQ(::chown(container_.c_str(), kUser, kUser), 0);
    GVLogger::setContainerRoot(container_);
    OwnerFileAccess owner(kUser, OwnerFileAccess::primaryGroupOf(kUser));
    GVLogger::setContainerAccess([owner](const std::function<void()>& work) { owner.run(work); });
  }
  void TearDown() override {
    GVLogger::setContainerAccess(nullptr);
    GVTunnelOptions::setCurrentOptions(
        std::make_shared<const GVTunnelOptions>(GVTunnelOptions::defaultOptions()));
    if (!root_.empty()) fs::remove_all(root_);
  }
  void useGroup(const std::string& group) {
    auto o = GVTunnelOptions::defaultOptions();
    o.groupIdentifier = group;
    o.errorFile = "error.txt";
    GVTunnelOptions::setCurrentOptions(std::make_shared<const GVTunnelOptions>(o));
  }
  fs::path root_, secret_, container_;
};

TEST_F(OwnerFileAccessTest, ReasonFileAndItsFolderBelongToTheUser) {
  useGroup("group.gvt");
  GVLogger::logVPNExitReason("VPN Stopped by reason: 2");
  struct stat folder {
  }, file{};
  ASSERT_EQ(::stat((container_ / "group.gvt").c_str(), &folder), 0);
  ASSERT_EQ(::stat((container_ / "group.gvt/error.txt").c_str(), &file), 0);
  EXPECT_EQ(folder.st_uid, kUser);
  EXPECT_EQ(file.st_uid, kUser);
  EXPECT_EQ(file.st_gid, OwnerFileAccess::primaryGroupOf(kUser));
  std::ifstream in(container_ / "group.gvt/error.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "VPN Stopped by reason: 2");
  // The thread is root again for everything else.
  EXPECT_EQ(::setfsuid(static_cast<uid_t>(-1)), 0);
}

TEST_F(OwnerFileAccessTest, UserLinkOutOfTheContainerIsNotFollowed) {
  // The user points the group folder at root's folder.
  fs::create_symlink(secret_, container_ / "group.link");
  useGroup("group.link");
  GVLogger::logVPNExitReason("VPN Stopped by reason: 2");
  EXPECT_FALSE(fs::exists(secret_ / "error.txt"));

  // The same write without the user's identity lands in root's folder: the guard is what
  // stops it.
  GVLogger::setContainerAccess(nullptr);
  GVLogger::logVPNExitReason("VPN Stopped by reason: 2");
  EXPECT_TRUE(fs::exists(secret_ / "error.txt"));
}

// Run in a child that is not root, so that the identity of another user is out of reach.
TEST(OwnerFileAccess, WorkIsSkippedWhenTheIdentityCannotBeTaken) {
  auto check = [] {
    bool ran = false;
    OwnerFileAccess other(::geteuid() + 1, ::getegid() + 1);
    if (other.run([&] { ran = true; }) || ran) return 1;
    OwnerFileAccess self(::geteuid(), ::getegid());
    if (!self.run([&] { ran = true; }) || !ran) return 2;
    return 0;
  };
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0))
      ::_exit(3);
    ::_exit(check());
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: another identity was taken; 2: the own one was not";
}

}  // namespace
