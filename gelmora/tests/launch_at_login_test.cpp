// Launch at login as an autostart entry: the Exec quoting, the entry written and removed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "gelmora/Application/TsLaunchAtLoginService.h"

namespace fs = std::filesystem;

namespace {

TEST(LaunchAtLoginTest, ExecQuotingTable) {
  const struct {
    std::string program;
    std::optional<std::string> exec;
  } cases[] = {
      {"/usr/bin/gelmora", "/usr/bin/gelmora"},
      {"/opt/my app/bin/gelmora", "\"/opt/my app/bin/gelmora\""},
      {"/opt/a$b/gelmora", "\"/opt/a\\\\$b/gelmora\""},
      {"/opt/a`id`/gelmora", "\"/opt/a\\\\`id\\\\`/gelmora\""},
      {"/opt/a\"b/gelmora", "\"/opt/a\\\\\"b/gelmora\""},
      {"/opt/a'b/gelmora", "\"/opt/a'b/gelmora\""},
      {"/opt/a\\b/gelmora", "\"/opt/a\\\\\\\\b/gelmora\""},
      {"/opt/a;b&c|d/gelmora", "\"/opt/a;b&c|d/gelmora\""},
      {"/opt/~x/(y)/*?#<>", "\"/opt/~x/(y)/*?#<>\""},
      {"/opt/100%/gelmora", "/opt/100%%/gelmora"},
      {"/opt/100% x/gelmora", "\"/opt/100%% x/gelmora\""},
      {"/opt/a\tb", "\"/opt/a\\tb\""},
      {"/opt/a\nb", "\"/opt/a\\nb\""},
      {"/opt/a=b,c+d/gelmora", "/opt/a=b,c+d/gelmora"},
      {"/opt/a\x01"
       "b",
       std::nullopt},
      {"/opt/a\x7f"
       "b",
       std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TsLaunchAtLoginService::execValue(c.program), c.exec) << c.program;
}

class LaunchAtLoginFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/autostart-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    oldConfig_ = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    ::setenv("XDG_CONFIG_HOME", oldConfig_.c_str(), 1);
    TsLaunchAtLoginService::setProgramPath({});
    fs::remove_all(dir_);
  }
  std::string dir_, oldConfig_;
};

TEST_F(LaunchAtLoginFileTest, EntryIsWrittenAndRemoved) {
  const fs::path file = fs::path(dir_) / "autostart/cn.gelmoras.Gelmoras2.desktop";
  EXPECT_EQ(TsLaunchAtLoginService::autostartFile(), file);
  EXPECT_TRUE(TsLaunchAtLoginService::enableLoginItem(false));  // nothing there: as asked

  TsLaunchAtLoginService::setProgramPath("/opt/my $app/bin/gelmora");
  ASSERT_TRUE(TsLaunchAtLoginService::enableLoginItem(true));
  std::ifstream in(file);
  std::string text(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
  EXPECT_NE(text.find("\nExec=\"/opt/my \\\\$app/bin/gelmora\"\n"), std::string::npos);
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  // Nothing is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);

  ASSERT_TRUE(TsLaunchAtLoginService::enableLoginItem(true));  // rewritten in place
  EXPECT_TRUE(TsLaunchAtLoginService::enableLoginItem(false));
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(LaunchAtLoginFileTest, RefusedChangesAnswerNo) {
  // A program path no Exec line can hold.
  TsLaunchAtLoginService::setProgramPath(
      "/opt/a\x01"
      "b");
  EXPECT_FALSE(TsLaunchAtLoginService::enableLoginItem(true));
  // The autostart folder cannot be made.
  TsLaunchAtLoginService::setProgramPath("/usr/bin/gelmora");
  std::ofstream(dir_ + "/autostart") << "a file";
  EXPECT_FALSE(TsLaunchAtLoginService::enableLoginItem(true));
  // The entry's name is a folder that cannot be removed.
  fs::remove(dir_ + "/autostart");
  fs::create_directories(TsLaunchAtLoginService::autostartFile() / "x");
  EXPECT_FALSE(TsLaunchAtLoginService::enableLoginItem(false));
}

TEST(LaunchAtLoginTest, DefaultProgramIsTheRunningExecutable) {
  EXPECT_EQ(TsLaunchAtLoginService::programPath(), fs::read_symlink("/proc/self/exe").string());
}

}  // namespace
