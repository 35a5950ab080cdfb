#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/keychain/FileBackend.h"
#include "platform/keychain/Keychain.h"
#include "platform/keychain/SecretServiceBackend.h"

using namespace platform::keychain;
namespace fs = std::filesystem;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "keychain-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<fs::path> corruptCopies(const fs::path& dir) {
  std::vector<fs::path> out;
  for (auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find(".corrupt-") != std::string::npos)
      out.push_back(e.path());
  return out;
}

}  // namespace

TEST(FileBackend, StoresReplacesAndDeletesItems) {
  TempDir dir;
  FileBackend kc(dir.path() / "app" / "keychain.json");
  EXPECT_EQ(kc.password("svc", "acct"), std::nullopt);
  ASSERT_TRUE(kc.setPassword("one", "svc", "acct"));
  ASSERT_TRUE(kc.setPassword(std::string("bin\0\xff\x01", 6), "svc", "other"));
  ASSERT_TRUE(kc.setPassword("x", "服务", "帐户"));
  EXPECT_EQ(kc.password("svc", "acct"), "one");
  ASSERT_TRUE(kc.setPassword("two", "svc", "acct"));
  EXPECT_EQ(kc.password("svc", "acct"), "two");
  EXPECT_EQ(kc.password("svc", "other"), std::string("bin\0\xff\x01", 6));
  EXPECT_EQ(kc.password("服务", "帐户"), "x");
  EXPECT_EQ(kc.password("svc", "ACCT"), std::nullopt);

  EXPECT_TRUE(kc.deletePassword("svc", "acct"));
  EXPECT_FALSE(kc.deletePassword("svc", "acct"));  // nothing left to delete
  EXPECT_EQ(kc.password("svc", "acct"), std::nullopt);
  EXPECT_EQ(kc.password("svc", "other"), std::string("bin\0\xff\x01", 6));

  // A name that is not UTF-8 could not come back unchanged from the JSON text.
  EXPECT_FALSE(kc.setPassword("p", "svc", "bad\xff"));
  EXPECT_EQ(kc.password("svc", "bad\xff"), std::nullopt);
}

TEST(FileBackend, FolderAndFileArePrivateAndAWideModeIsTightened) {
  TempDir dir;
  const fs::path file = dir.path() / "app" / "keychain.json";
  FileBackend kc(file);
  ASSERT_TRUE(kc.setPassword("secret", "s", "a"));
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(readAll(file).find("secret"), std::string::npos);  // not stored in the clear text

  ::chmod(file.c_str(), 0644);
  EXPECT_EQ(kc.password("s", "a"), "secret");
  EXPECT_EQ(modeOf(file), 0600u);
}

TEST(FileBackend, TwoProcessesWritingDifferentItemsLoseNone) {
  TempDir dir;
  const fs::path file = dir.path() / "keychain.json";
  constexpr int kProcs = 4, kEach = 25;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      FileBackend kc(file);
      bool ok = true;
      for (int i = 0; i < kEach; ++i)
        ok &= kc.setPassword("pw" + std::to_string(i), "svc",
                             std::to_string(p) + "/" + std::to_string(i));
      ::_exit(ok ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  FileBackend kc(file);
  for (int p = 0; p < kProcs; ++p)
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(kc.password("svc", std::to_string(p) + "/" + std::to_string(i)),
                "pw" + std::to_string(i));
  for (auto& e : fs::directory_iterator(dir.path()))  // no temporary files left behind
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
}

TEST(FileBackend, MalformedFileIsMovedAsideNeverOverwritten) {
  TempDir dir;
  const fs::path file = dir.path() / "keychain.json";
  const std::string garbage = "{\"items\": [ {\"service\": \"s\"";
  std::ofstream(file) << garbage;
  FileBackend kc(file);
  EXPECT_EQ(kc.password("s", "a"), std::nullopt);
  auto aside = corruptCopies(dir.path());
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(readAll(aside[0]), garbage);

  ASSERT_TRUE(kc.setPassword("new", "s", "a"));
  EXPECT_EQ(kc.password("s", "a"), "new");
  EXPECT_EQ(readAll(aside[0]), garbage);

  std::ofstream(file, std::ios::trunc) << "[]";  // a second bad file gets its own copy
  EXPECT_FALSE(kc.deletePassword("s", "a"));
  EXPECT_EQ(corruptCopies(dir.path()).size(), 2u);
}

TEST(FileBackend, ParseAcceptsOnlyTheItemFormat) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {R"({"version":1,"items":[{"service":"s","account":"a","password":"cHc="}]})", true},
      {R"({"items":[],"extra":{"x":1}})", true},
      {"", false},
      {"null", false},
      {"[]", false},
      {R"({"items":{}})", false},
      {R"({"items":[1]})", false},
      {R"({"items":[{"service":"s","account":"a"}]})", false},
      {R"({"items":[{"service":"s","account":2,"password":""}]})", false},
      {R"({"items":[{"service":"s","account":"a","password":"cHc"}]})", false},    // unpadded
      {R"({"items":[{"service":"s","account":"a","password":"cH=c"}]})", false},   // pad inside
      {R"({"items":[{"service":"s","account":"a","password":"cHd="}]})", false},   // stray bits
      {R"({"items":[{"service":"s","account":"a","password":"c Hc="}]})", false},  // space
      {"{\"items\":[]}\n\n", true},
      {"{\"items\":[]} x", false},
  };
  for (const auto& c : cases) {
    FileBackend::Items items;
    std::string error;
    EXPECT_EQ(FileBackend::parse(c.text, items, error), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
    }
  }
  std::string deep(100000, '[');
  FileBackend::Items items;
  std::string error;
  EXPECT_FALSE(FileBackend::parse(deep, items, error));
  EXPECT_EQ(error, "nested too deeply");
}

TEST(Keychain, EnvironmentForcesTheFileAndItsFolder) {
  TempDir dir;
  ::setenv("GELMORA_KEYCHAIN_DIR", dir.path().c_str(), 1);
  installBackend(nullptr);
  EXPECT_EQ(backend()->name(), "file");
  EXPECT_EQ(defaultFileFolder(), dir.path());
  ASSERT_TRUE(setPassword("pw", "svc", "acct"));
  EXPECT_EQ(password("svc", "acct"), "pw");
  EXPECT_TRUE(fs::exists(dir.path() / "keychain.json"));
  EXPECT_TRUE(deletePassword("svc", "acct"));
  EXPECT_EQ(password("svc", "acct"), std::nullopt);
  installBackend(nullptr);
  ::unsetenv("GELMORA_KEYCHAIN_DIR");
}

// The Secret Service test runs this same binary again inside its own session bus with its own
// keyring daemon, so the desktop's real keyring is never touched.
namespace {

constexpr const char* kSessionEnv = "PLATFORM_KEYCHAIN_TEST_SESSION";

bool onPath(const char* tool) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(ss, dir, ':');)
    if (!dir.empty() && ::access((fs::path(dir) / tool).c_str(), X_OK) == 0) return true;
  return false;
}

void secretServiceRoundTrip() {
  std::shared_ptr<SecretServiceBackend> kc;
  std::string why;
  // The daemon was just started; give it a few seconds to claim its bus name.
  for (int i = 0; i < 100 && !kc; ++i) {
    kc = SecretServiceBackend::connect(&why);
    if (!kc) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!kc) GTEST_SKIP() << "no Secret Service answered: " << why;
  EXPECT_EQ(kc->password("svc", "acct"), std::nullopt);
  ASSERT_TRUE(kc->setPassword("one", "svc", "acct"));
  ASSERT_TRUE(kc->setPassword(std::string("b\0\xff", 3), "svc", "other"));
  ASSERT_TRUE(kc->setPassword("two", "svc", "acct"));  // replaces, no second item
  EXPECT_EQ(kc->password("svc", "acct"), "two");
  EXPECT_EQ(kc->password("svc", "other"), std::string("b\0\xff", 3));
  EXPECT_TRUE(kc->deletePassword("svc", "acct"));
  EXPECT_FALSE(kc->deletePassword("svc", "acct"));
  EXPECT_EQ(kc->password("svc", "acct"), std::nullopt);
  EXPECT_FALSE(kc->setPassword("p", "svc", std::string("a\0b", 3)));  // would name another item

  // With a service on the bus and no override, the process picks it.
  ::unsetenv("GELMORA_KEYCHAIN_DIR");
  installBackend(nullptr);
  EXPECT_EQ(backend()->name(), "secret-service");
  installBackend(nullptr);
}

}  // namespace

TEST(SecretService, StoresItemsInTheSessionsKeyring) {
  if (std::getenv(kSessionEnv)) {
    secretServiceRoundTrip();
    return;
  }
  for (const char* tool : {"dbus-run-session", "gnome-keyring-daemon"})
    if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed";
  TempDir dir;
  ::chmod(dir.path().c_str(), 0700);
  const fs::path script = dir.path() / "session.sh";
  std::ofstream(script) << R"(
printf 'test' | gnome-keyring-daemon --foreground --unlock --components=secrets >"$1/daemon.log" 2>&1 &
daemon=$!
)" << kSessionEnv << R"(=1 "$2" --gtest_filter=SecretService.* 2>&1
status=$?
kill $daemon 2>/dev/null
wait $daemon 2>/dev/null
exit $status
)";
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string d = dir.path().string();
  fs::create_directories(dir.path() / "data");
  fs::create_directories(dir.path() / "config");
  // Set before the bus starts, so a daemon the bus activates also keeps to the temporary home.
  const std::string cmd = "HOME='" + d + "' XDG_RUNTIME_DIR='" + d + "' XDG_DATA_HOME='" + d +
                          "/data' XDG_CONFIG_HOME='" + d +
                          "/config' timeout 120 dbus-run-session -- sh '" + script.string() +
                          "' '" + d + "' '" + self + "' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  const int status = ::pclose(p);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code != 0 && out.find("[ RUN      ]") == std::string::npos) {
    GTEST_SKIP() << "cannot start a session bus with a keyring daemon:\n" << out;
  }
  if (const auto at = out.find("[  SKIPPED ]"); at != std::string::npos) {
    GTEST_SKIP() << out.substr(0, at);
  }
  EXPECT_EQ(code, 0) << out;
}
