// Process utilities: command lines run without a shell, the loader's DNS flush, the kept
// privileged task, address opening, random draws and the JSON check.
#include "gelmora/Service/Tools/Utils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "gelmora/Application/UrlOpener.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "platform/auth/Authorization.h"
#include "platform/dispatch/PumpedQueue.h"

namespace fs = std::filesystem;

namespace {

class UtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/utils-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    gelmora::setLogSink([this](const std::string& l) { log_.push_back(l); });
  }
  void TearDown() override {
    gelmora::setLogSink({});
    Utils::resetRootExecHandler();
    STPrivilegedTask::setAuthOptions({});
    fs::remove_all(dir_);
  }
  std::string script(const std::string& name, const std::string& body) {
    std::string p = dir_ + "/" + name;
    std::ofstream(p) << "#!/bin/sh\n" << body;
    fs::permissions(p, fs::perms::owner_all);
    return p;
  }
  std::string read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool logged(const std::string& text) const {
    for (const auto& l : log_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  std::string dir_;
  std::vector<std::string> log_;
};

TEST_F(UtilsTest, CommandLineSplitsAtEverySeparator) {
  using W = std::vector<std::string>;
  const struct {
    std::string line;
    W words;
  } cases[] = {
      {"/bin/cp -f /sbin/ping /tmp/pinga", {"/bin/cp", "-f", "/sbin/ping", "/tmp/pinga"}},
      {"a  b", {"a", "", "b"}},
      {" a", {"", "a"}},
      {"a ", {"a", ""}},
      {"", {""}},
      {"a\tb\nc\rd\ve\ff", {"a", "b", "c", "d", "e", "f"}},
      {"a\xC2\xA0"
       "b\xE3\x80\x80"
       "c\xE2\x80\xA8"
       "d",
       {"a", "b", "c", "d"}},
      {"\"a b\"", {"\"a", "b\""}},  // no quoting
      {"caf\xC3\xA9", {"caf\xC3\xA9"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Utils::splitCommandLine(c.line), c.words) << c.line;
}

TEST_F(UtilsTest, ShellExecRunsTheProgramWithItsWordsAndAnswersItsStatus) {
  std::string tool = script(
      "tool", "{ echo \"$#\"; for a; do echo \"[$a]\"; done; } > '" + dir_ + "/args'\nexit 7\n");
  EXPECT_EQ(Utils::shellExec(tool + " -f /sbin/ping /tmp/pinga"), 7);
  EXPECT_EQ(read("args"), "3\n[-f]\n[/sbin/ping]\n[/tmp/pinga]\n");
  EXPECT_TRUE(logged("ShellExec(" + tool + " (\"-f\", \"/sbin/ping\", \"/tmp/pinga\")) RET(7)"));

  EXPECT_EQ(Utils::shellExec(tool + " a  b"), 7);
  EXPECT_EQ(read("args"), "3\n[a]\n[]\n[b]\n");
  // Shell characters reach the program as they are.
  EXPECT_EQ(Utils::shellExec(tool + " $HOME;rm `x`"), 7);
  EXPECT_EQ(read("args"), "2\n[$HOME;rm]\n[`x`]\n");

  std::string killed = script("killed", "kill -9 $$\n");
  EXPECT_EQ(Utils::shellExec(killed), 128 + 9);
}

TEST_F(UtilsTest, ShellExecAnswersMinusOneWhenNothingCanRun) {
  EXPECT_EQ(Utils::shellExec(std::nullopt), -1);
  EXPECT_TRUE(logged("ERROR ShellExec: Illegal Input"));
  log_.clear();
  // The empty text is one empty word: tried, logged with its result.
  EXPECT_EQ(Utils::shellExec(std::string()), -1);
  EXPECT_TRUE(logged("RET(-1)"));
  EXPECT_EQ(Utils::shellExec(" /bin/true"), -1);
  EXPECT_EQ(Utils::shellExec("true"), -1);  // no search along PATH
  EXPECT_EQ(Utils::shellExec(dir_ + "/missing"), -1);
  std::string plain = dir_ + "/plain";
  std::ofstream(plain) << "not a program";
  EXPECT_EQ(Utils::shellExec(plain), -1);
  EXPECT_EQ(Utils::shellExec(std::string("/bin/true\0x", 11)), -1);
  EXPECT_EQ(Utils::shellExec("/bin/true"), 0);
  EXPECT_EQ(Utils::shellExec("/bin/false"), 1);
}

TEST_F(UtilsTest, FlushRunsBothCommandsAndLogsTheirStatus) {
  Utils::setZandrelPath(
      script("zandrel",
             "echo \"$*\" >> '" + dir_ + "/calls'\n[ \"$1\" = flushdns1 ] && exit 3\nexit 0\n"));
  Utils::flushDNSCache();
  EXPECT_EQ(read("calls"), "flushdns1\nflushdns2\n");
  EXPECT_TRUE(logged("FlushDNS1 3"));
  EXPECT_TRUE(logged("FlushDNS2 0"));
  Utils::setZandrelPath(dir_ + "/missing");
  Utils::flushDNSCache();
  EXPECT_TRUE(logged("FlushDNS1 -1"));
}

TEST_F(UtilsTest, PrivilegedTaskIsKeptOnceGrantedAndAskedAgainAfterARefusal) {
  if (platform::auth::checkTool(AUTH_RUNNER_PATH) != 0)
    GTEST_SKIP() << AUTH_RUNNER_PATH << " is not root-owned or is writable by others";
  platform::dispatch::ScopedMainQueue main;
  std::string prompts = dir_ + "/prompts";
  auto use = [&](const std::string& body) {
    platform::auth::Options o;
    o.elevator = script("elevator", "echo prompt >> '" + prompts + "'\n" + body);
    o.runner = AUTH_RUNNER_PATH;
    o.forceElevation = true;
    STPrivilegedTask::setAuthOptions(o);
  };
  auto count = [&] {
    std::ifstream in(prompts);
    int n = 0;
    for (std::string l; std::getline(in, l);) ++n;
    return n;
  };
  use("exit 126\n");
  EXPECT_EQ(Utils::rootExecHandler(), nullptr);
  EXPECT_EQ(Utils::rootExecHandler(), nullptr);
  EXPECT_EQ(count(), 2);
  use("exec \"$@\"\n");
  auto task = Utils::rootExecHandler();
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->launchPath(), "/bin/ls");
  EXPECT_EQ(Utils::rootExecHandler(), task);
  EXPECT_EQ(count(), 3);
  task->setLaunchPath("/bin/true");
  task->setArguments({});
  EXPECT_EQ(task->launch(), 0);
  task->waitUntilExit();
  EXPECT_EQ(task->terminationStatus(), 0);
}

TEST_F(UtilsTest, OnlyWebAddressesReachTheOpener) {
  struct Recording : UrlOpener {
    std::vector<std::string> opened;
    void openURL(const std::string& url) override { opened.push_back(url); }
  } opener;
  Utils::openURLWithDefaultBrowser("https://example.com/");  // no opener yet: logged only
  Utils::setUrlOpener(&opener);
  for (const char* url : {"https://example.com/a", "http://example.com/b", "", "ftp://example.com/",
                          "file:///etc/passwd", "javascript:alert(1)", "https:"})
    Utils::openURLWithDefaultBrowser(url);
  Utils::setUrlOpener(nullptr);
  EXPECT_EQ(opener.opened,
            (std::vector<std::string>{"https://example.com/a", "http://example.com/b"}));
}

TEST_F(UtilsTest, VersionAndRandomDraws) {
  EXPECT_EQ(Utils::versionString(), app().version() + "." + app().buildVersion());
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Utils::randomIntegerFrom(5, 5), 5);
  std::set<int> seen;
  for (int i = 0; i < 2000; ++i) {
    int v = Utils::randomIntegerFrom(-2, 2);
    ASSERT_GE(v, -2);
    ASSERT_LE(v, 2);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 5u);
  int wide = Utils::randomIntegerFrom(INT32_MIN, INT32_MAX);
  (void)wide;
}

TEST_F(UtilsTest, JsonCheckWantsMoreThanTwoBytesOfObjectOrArray) {
  const struct {
    std::string data;
    bool valid;
  } cases[] = {
      {"{}", false},        {"[]", false},    {"[1]", true},
      {"{\"a\":1}", true},  {" {} ", true},   {"\xEF\xBB\xBF[1]", true},
      {"\"abc\"", false},   {"123", false},   {"null", false},
      {"[1", false},        {"[1] x", false}, {"[\"\xFF\"]", false},
      {"{\"a\" 1}", false}, {"[1,]", false},  {std::string("[1]\0", 4), false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utils::isValidJsonData(c.data), c.valid) << c.data;
    EXPECT_EQ(Utils::isValidJsonString(c.data), c.valid) << c.data;
  }
  // Deep nesting is checked without recursion.
  std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_TRUE(Utils::isValidJsonData(deep));
  EXPECT_FALSE(Utils::isValidJsonData(deep.substr(1)));
}

}  // namespace
