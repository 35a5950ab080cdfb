// Start-up checks before the main loop: the install layout, a non-ASCII path, the defaults
// version, installed paths, owners of the installed tools fixed in one batch, the filter reload.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "gelmora/Application/ProgramEntry.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "gelmora/Service/Tools/Utils.h"
#include "platform/auth/Authorization.h"
#include "platform/dispatch/PumpedQueue.h"

namespace fs = std::filesystem;
using namespace gelmora::entry;

namespace {

constexpr uid_t kNobody = 65534;

TEST(ProgramEntryLayoutTest, PrefixIsThePathBeforeItsLastTwoComponents) {
  const struct {
    std::string exe;
    std::optional<std::string> prefix;
  } cases[] = {
      {"/opt/gelmora/bin/gelmora", "/opt/gelmora/"},
      {"/usr/local/bin/gelmora", "/usr/local/"},
      {"/bin/gelmora", "/"},
      {"/work/build/stage/bin/gelmora", "/work/build/stage/"},
      {"/gelmora", std::nullopt},
      {"gelmora", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    auto l = layoutFor(c.exe);
    ASSERT_EQ(l.has_value(), c.prefix.has_value()) << c.exe;
    if (!l) continue;
    EXPECT_EQ(l->prefix, *c.prefix);
    EXPECT_EQ(l->procname, "gelmora");
    EXPECT_EQ(l->libexecDir, *c.prefix + "libexec/gelmora");
    EXPECT_EQ(l->zandrel, *c.prefix + "libexec/gelmora/zandrel");
    EXPECT_EQ(l->kext, *c.prefix + "libexec/gelmora/tamseld");
    EXPECT_EQ(l->kextstat, *c.prefix + "libexec/gelmora/tamselstat");
    EXPECT_EQ(l->tunnel, *c.prefix + "libexec/gelmora/galvent-tunnel");
    EXPECT_EQ(l->authRunner, *c.prefix + "libexec/gelmora/gelmora-auth-runner");
    EXPECT_EQ(l->resources, *c.prefix + "share/gelmora/");
    EXPECT_EQ(l->logo, *c.prefix + "share/gelmora/logo.png");
    EXPECT_EQ(l->areaispSource, *c.prefix + "share/gelmora/area_isp.txt");
  }
  EXPECT_EQ(executablePath(), fs::read_symlink("/proc/self/exe").string());
}

TEST(ProgramEntryLayoutTest, PasteboardAnalyticsParameters) {
  const struct {
    std::string text;
    std::optional<std::string> params;
  } cases[] = {
      {"dravik-ga:", std::nullopt},
      {"dravik-ga:abc", "abc"},
      {"dravik-ga:a dravik-ga:b", "a b"},
      {"dravik-ga:dravik-ga:", std::nullopt},
      {"abc dravik-ga:x", std::nullopt},
      {"dravik-ga", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(gaParamsFromPasteboard(c.text), c.params) << c.text;
}

class ProgramEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/entry-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    prefix_ = dir_ + "/prefix";
    layout_ = *layoutFor(prefix_ + "/bin/gelmora");
    fs::create_directories(layout_.libexecDir);
    fs::create_directories(layout_.resources);
    for (const auto* p : {&layout_.zandrel, &layout_.kext, &layout_.kextstat, &layout_.tunnel})
      tool(*p);
    // The real runner: elevations in these tests start the one installed beside the loader.
    fs::copy_file(AUTH_RUNNER_PATH, layout_.authRunner);
    ::chmod(layout_.authRunner.c_str(), 0755);
    std::ofstream(layout_.areaispSource) << "1 2 10.0.0.0/8\n";
    data_ = dir_ + "/data";
    const char* old = std::getenv("XDG_DATA_HOME");
    oldData_ = old ? old : "";
    ::setenv("XDG_DATA_HOME", data_.c_str(), 1);
    defaults_ = std::make_unique<platform::defaults::Store>(dir_ + "/defaults.json");
  }
  void TearDown() override {
    ::setenv("XDG_DATA_HOME", oldData_.c_str(), 1);
    Utils::resetRootExecHandler();
    STPrivilegedTask::setAuthOptions({});
    fs::remove_all(dir_);
  }
  void tool(const std::string& path) {
    fs::remove(path);
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    ::chmod(path.c_str(), 0755);
  }
  // Every installed file and the folder as a finished install leaves them.
  void installAsRoot() {
    for (const auto* p : {&layout_.libexecDir, &layout_.zandrel, &layout_.kext, &layout_.kextstat,
                          &layout_.tunnel, &layout_.authRunner}) {
      ASSERT_EQ(::chown(p->c_str(), 0, 0), 0);
      ASSERT_EQ(::chmod(p->c_str(), 0755), 0);
    }
    ASSERT_EQ(::chmod(layout_.zandrel.c_str(), 04755), 0);
  }
  std::optional<int> run(const std::string& exe) {
    StartupSteps s;
    s.alert = [this](const std::string& t) { alerts_.push_back(t); };
    s.unloadKEXT = [this] {
      calls_ += "unload;";
      loaded_ = false;
    };
    s.loakKEXT = [this] {
      calls_ += "load;";
      loaded_ = loads_;
    };
    s.existKEXT = [this] { return loaded_; };
    return runStartupChecks(exe, *defaults_, s);
  }
  std::string exe() const { return prefix_ + "/bin/gelmora"; }
  // Elevation through a recording stand-in that passes (or refuses) and the built runner.
  std::string useElevator(bool grant) {
    std::string prompts = dir_ + "/prompts";
    std::string elevator = dir_ + "/elevator";
    std::ofstream(elevator) << "#!/bin/sh\necho prompt >> '" << prompts << "'\n"
                            << (grant ? "exec \"$@\"\n" : "exit 126\n");
    ::chmod(elevator.c_str(), 0700);
    platform::auth::Options o;
    o.elevator = elevator;
    o.runner = layout_.authRunner;
    o.forceElevation = true;
    STPrivilegedTask::setAuthOptions(o);
    return prompts;
  }
  static int lines(const std::string& file) {
    std::ifstream in(file);
    int n = 0;
    for (std::string l; std::getline(in, l);) ++n;
    return n;
  }
  static bool rootRunner() {
    return ::geteuid() == 0 && platform::auth::checkTool(AUTH_RUNNER_PATH) == 0;
  }

  std::string dir_, prefix_, data_, oldData_;
  InstallLayout layout_;
  std::unique_ptr<platform::defaults::Store> defaults_;
  std::vector<std::string> alerts_;
  std::string calls_;
  bool loaded_ = true;  // a filter from an earlier run
  bool loads_ = true;
};

TEST_F(ProgramEntryTest, NonAsciiPathEndsTheStartWithDefaultsUntouched) {
  defaults_->set(kDefaultsSchemeKey, std::string("2"));
  defaults_->set("kept", std::string("x"));
  const std::string path = dir_ + "/游戏/bin/gelmora";
  EXPECT_EQ(run(path), 1);
  ASSERT_EQ(alerts_.size(), 1u);
  EXPECT_EQ(alerts_[0], std::string(kNonAsciiPathText) + path);
  EXPECT_EQ(defaults_->textValue(kDefaultsSchemeKey), "2");
  EXPECT_EQ(defaults_->textValue("kept"), "x");
  EXPECT_EQ(calls_, "");
  EXPECT_EQ(run(dir_ + "/caf\xC3\xA9/bin/gelmora"), 1);
  EXPECT_EQ(run(dir_ + "/x\x80/bin/gelmora"), 1);
}

TEST_F(ProgramEntryTest, DefaultsAreClearedUnlessTheyRecordTheCurrentVersion) {
  const struct {
    std::optional<platform::defaults::Value> version;
    bool cleared;
  } cases[] = {
      {std::nullopt, true},
      {platform::defaults::Value(std::string("2")), true},
      {platform::defaults::Value(std::string("1.0")), true},
      {platform::defaults::Value(std::string("")), true},
      {platform::defaults::Value(std::string("1")), false},
  };
  for (const auto& c : cases) {
    defaults_->removeDomain();
    if (c.version) defaults_->set(kDefaultsSchemeKey, *c.version);
    defaults_->set("autoLogin", false);
    EXPECT_EQ(resetUserDefaults(*defaults_), c.cleared);
    EXPECT_EQ(defaults_->textValue(kDefaultsSchemeKey), "1");
    EXPECT_EQ(defaults_->contains("autoLogin"), !c.cleared);
    // It reached the file.
    platform::defaults::Store reread(defaults_->path());
    EXPECT_EQ(reread.textValue(kDefaultsSchemeKey), "1");
  }
}

TEST_F(ProgramEntryTest, InstalledPathsAndTheAreaTableCopy) {
  setInstalledPaths(layout_);
  EXPECT_EQ(Utils::zandrelPath(), layout_.zandrel);
  EXPECT_EQ(Utils::kextPath(), layout_.kext);
  EXPECT_EQ(Utils::kextstatPath(), layout_.kextstat);
  EXPECT_EQ(TsParams::getDirectoryOfResource(), prefix_ + "/share/gelmora/");
  EXPECT_EQ(TsParams::getLogoPath(), prefix_ + "/share/gelmora/logo.png");
  const std::string areaisp = data_ + "/cn.gelmoras.Gelmoras2/area_isp.txt";
  EXPECT_EQ(TsParams::getAreaispPath(), areaisp);
  std::ifstream in(areaisp);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "1 2 10.0.0.0/8\n");
  // The user's table, once there, is the library update's; a later start keeps it.
  std::ofstream(areaisp) << "updated\n";
  setInstalledPaths(layout_);
  std::ifstream again(areaisp);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "updated\n");
}

TEST_F(ProgramEntryTest, MissingFilesAndPathsWithoutPrefix) {
  EXPECT_EQ(run("/gelmora"), 1);
  fs::remove(layout_.kext);
  EXPECT_EQ(run(exe()), 1);
  EXPECT_EQ(alerts_, (std::vector<std::string>{kFilesMissingText, kFilesMissingText}));
  EXPECT_EQ(calls_, "");
}

TEST_F(ProgramEntryTest, OwnerMatrix) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  struct Case {
    const char* what;
    std::function<void(const InstallLayout&)> change;
    OwnerState state;
  };
  auto mode = [](const std::string InstallLayout::*f, mode_t m) {
    return [f, m](const InstallLayout& l) { ::chmod((l.*f).c_str(), m); };
  };
  auto owner = [](const std::string InstallLayout::*f) {
    return [f](const InstallLayout& l) { ASSERT_EQ(::chown((l.*f).c_str(), kNobody, kNobody), 0); };
  };
  const Case cases[] = {
      {"finished install", [](const InstallLayout&) {}, OwnerState::Ready},
      {"loader without set-user-id", mode(&InstallLayout::zandrel, 0755), OwnerState::NeedsFix},
      {"loader not executable", mode(&InstallLayout::zandrel, 04644), OwnerState::NeedsFix},
      {"loader writable by group", mode(&InstallLayout::zandrel, 04775), OwnerState::NeedsFix},
      {"loader owned by a user", owner(&InstallLayout::zandrel), OwnerState::NeedsFix},
      {"daemon owned by a user", owner(&InstallLayout::kext), OwnerState::NeedsFix},
      {"daemon not executable", mode(&InstallLayout::kext, 0644), OwnerState::NeedsFix},
      {"folder owned by a user", owner(&InstallLayout::libexecDir), OwnerState::NeedsFix},
      {"folder writable by others", mode(&InstallLayout::libexecDir, 0757), OwnerState::NeedsFix},
      {"runner writable by others", mode(&InstallLayout::authRunner, 0757), OwnerState::NeedsFix},
      {"tunnel daemon owned by a user", owner(&InstallLayout::tunnel), OwnerState::NeedsFix},
      {"daemon a symbolic link",
       [](const InstallLayout& l) {
         fs::remove(l.kext);
         fs::create_symlink(l.kextstat, l.kext);
       },
       OwnerState::Unreadable},
  };
  for (const auto& c : cases) {
    tool(layout_.kext);
    installAsRoot();
    c.change(layout_);
    EXPECT_EQ(ownerState(layout_), c.state) << c.what;
  }
  // Optional tools that are not installed are not asked for.
  tool(layout_.kext);
  installAsRoot();
  fs::remove(layout_.tunnel);
  EXPECT_EQ(ownerState(layout_), OwnerState::Ready);
}

TEST_F(ProgramEntryTest, OwnerFixIsOneBatchInOrder) {
  const std::vector<std::string> all{layout_.libexecDir, layout_.zandrel, layout_.kext,
                                     layout_.kextstat,   layout_.tunnel,  layout_.authRunner};
  std::vector<Command> want{{"/usr/bin/chown", {"-h", "root:root"}},
                            {"/usr/bin/chmod", {"0755"}},
                            {"/usr/bin/chmod", {"4755", layout_.zandrel}}};
  want[0].args.insert(want[0].args.end(), all.begin(), all.end());
  want[1].args.insert(want[1].args.end(), all.begin(), all.end());
  EXPECT_EQ(ownerFixCommands(layout_), want);

  if (!rootRunner()) GTEST_SKIP() << "changing owners needs root and a root-owned runner";
  platform::dispatch::ScopedMainQueue main;
  std::string prompts = useElevator(true);
  for (const auto* p : {&layout_.libexecDir, &layout_.zandrel, &layout_.kext, &layout_.tunnel})
    ASSERT_EQ(::chown(p->c_str(), kNobody, kNobody), 0);
  ::chmod(layout_.libexecDir.c_str(), 0777);
  ASSERT_EQ(ownerState(layout_), OwnerState::NeedsFix);

  EXPECT_EQ(run(exe()), std::nullopt);
  EXPECT_TRUE(alerts_.empty());
  EXPECT_EQ(lines(prompts), 1);
  EXPECT_EQ(ownerState(layout_), OwnerState::Ready);
  struct stat st;
  ASSERT_EQ(::stat(layout_.zandrel.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
  ASSERT_EQ(::stat(layout_.libexecDir.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(calls_, "unload;load;");

  // A finished install starts without a prompt.
  Utils::resetRootExecHandler();
  EXPECT_EQ(run(exe()), std::nullopt);
  EXPECT_EQ(lines(prompts), 1);
}

TEST_F(ProgramEntryTest, RefusedRightsEndTheStart) {
  if (!rootRunner()) GTEST_SKIP() << "the elevation stand-in needs root and a root-owned runner";
  platform::dispatch::ScopedMainQueue main;
  std::string prompts = useElevator(false);
  installAsRoot();
  ::chmod(layout_.zandrel.c_str(), 0755);
  EXPECT_EQ(run(exe()), 1);
  EXPECT_EQ(alerts_, std::vector<std::string>{kRightsRefusedText});
  EXPECT_EQ(lines(prompts), 1);
  EXPECT_EQ(calls_, "");
  struct stat st;
  ASSERT_EQ(::stat(layout_.zandrel.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(ProgramEntryTest, OwnerTestThatCannotReadEndsTheStart) {
  fs::remove(layout_.kext);
  fs::create_symlink(layout_.kextstat, layout_.kext);
  EXPECT_EQ(run(exe()), 1);
  EXPECT_EQ(alerts_, std::vector<std::string>{kOwnerTestFailedText});
}

TEST_F(ProgramEntryTest, FilterReload) {
  if (::geteuid() != 0) GTEST_SKIP() << "a finished install is root-owned";
  installAsRoot();
  // Loaded from an earlier run: unloaded, then loaded again.
  EXPECT_EQ(run(exe()), std::nullopt);
  EXPECT_EQ(calls_, "unload;load;");
  // One that stays after the unload ends the start before any load.
  calls_.clear();
  StartupSteps stuck;
  stuck.alert = [this](const std::string& t) { alerts_.push_back(t); };
  stuck.unloadKEXT = [this] { calls_ += "unload;"; };
  stuck.loakKEXT = [this] { calls_ += "load;"; };
  stuck.existKEXT = [] { return true; };
  EXPECT_EQ(runStartupChecks(exe(), *defaults_, stuck), 1);
  EXPECT_EQ(calls_, "unload;");
  EXPECT_EQ(alerts_, std::vector<std::string>{kUnloadFailedText});
  // One that does not come up after the load.
  calls_.clear();
  alerts_.clear();
  loads_ = false;
  EXPECT_EQ(run(exe()), 1);
  EXPECT_EQ(calls_, "unload;load;");
  EXPECT_EQ(alerts_, std::vector<std::string>{kLoadFailedText});
}

TEST_F(ProgramEntryTest, PresenceIsNoWithoutThePresenceTool) {
  Utils::setKextstatPath(dir_ + "/missing/tamselstat");
  EXPECT_FALSE(Utils::existKEXT());
}

}  // namespace
