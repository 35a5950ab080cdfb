// The self-update as root, end to end. The build is installed with `cmake --install` into a
// prefix below /run, whose zandrel loads its tamseld in a network namespace of this test. The
// update window runs with rights forced, so platform/auth's runner (behind a pass-through
// elevator) runs the installed gelmora-update-helper:
// - a good archive: the filter unloaded, the new tree in place with zandrel root-owned and
//   set-user-id, no staging left, the success alert, exit 0;
// - a wrong signature: the prefix exactly as it was, the filter still loaded, no rights asked.
// And the helper against a second local user: run as that user it replaces nothing; run as root
// on files that user keeps swapping underneath it, only the signed archive is ever installed.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <iostream>

#include "UpdateTestSupport.h"
#include "gelmora/Legacy/Update/UpdateDownload.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"
#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "gelmora/Service/Tools/Utils.h"
#include "standin/OlderService.h"
#include "standin/UpdatePackage.h"
#include "systest/Systest.h"
#include "ui/Application/QtMainQueue.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/L10n.h"
#include "ui/Legacy/updateWindow.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using gelmora::ui::RecordingAlertSheetPresenter;
using gelmora::ui::updateWindow;
using standin::OlderService;
using standin::UpdatePackage;
using update_test::readFile;
using update_test::treeDigest;
using update_test::writeFile;
using Sheet = RecordingAlertSheetPresenter::Sheet;

namespace {

std::string gWhyNot;
constexpr uid_t kOtherUser = 65534;  // nobody

bool testKeyBuiltIn() {
  return std::string(gelmora::update::UpdateSignature::builtInKey())
             .find(UpdatePackage::testPublicKeyPem().substr(27, 40)) != std::string::npos;
}

bool waitForQt(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qWait(5);
  }
  return true;
}

// One installation of the build below /run (the loader wants a chain of root-owned folders
// that others cannot write), with its filter run folder and the user's cache folder.
struct Installed {
  std::string work, prefix, libexec, tamselRun, cache;
  bool ok = false;

  Installed() {
    char pattern[] = "/run/gelmora-update-e2e.XXXXXX";
    if (!::mkdtemp(pattern)) return;
    work = pattern;
    ::chmod(work.c_str(), 0755);
    prefix = work + "/prefix";
    libexec = prefix + "/libexec/gelmora";
    tamselRun = work + "/tamsel";
    cache = work + "/cache";
    ::mkdir(tamselRun.c_str(), 0755);
    ::mkdir(cache.c_str(), 0700);
    const auto r =
        systest::sh(std::string(CMAKE_COMMAND_PATH) +
                    " --install " GELMORA_BUILD_DIR " --strip --prefix " + prefix + " 2>&1");
    if (!r.ok()) {
      ADD_FAILURE() << "cmake --install: " << r.output;
      return;
    }
    // What the start-up check gives the loader as root.
    ::chmod((libexec + "/zandrel").c_str(), 04755);
    ::setenv("TAMSEL_RUN_DIR", tamselRun.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    Utils::setZandrelPath(libexec + "/zandrel");
    Utils::setKextPath(libexec + "/tamseld");
    Utils::setKextstatPath(libexec + "/tamselstat");
    ok = fs::exists(prefix + "/bin/gelmora") && fs::exists(libexec + "/gelmora-update-helper") &&
         fs::exists(prefix + "/share/gelmora/install_manifest.txt");
    EXPECT_TRUE(ok) << "incomplete install in " << prefix;
  }
  ~Installed() {
    if (work.empty()) return;
    Utils::unloadKEXT();
    std::error_code ec;
    fs::remove_all(work, ec);
  }
  std::string helper() const { return libexec + "/gelmora-update-helper"; }
  // The installed tree with a marker file, as the service would publish the next version.
  std::string nextVersion(const std::string& marker) const {
    const std::string next = work + "/next-" + marker;
    fs::copy(prefix, next, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove(next + "/share/gelmora/install_manifest.txt");  // the package lists its own
    writeFile(next + "/share/gelmora/version-marker", marker);
    std::string bytes = UpdatePackage::zipFolder(next);
    fs::remove_all(next);
    return bytes;
  }
  std::vector<std::string> stagingLeft() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(work))
      if (e.path().filename().string().rfind(".gelmora-update-", 0) == 0)
        out.push_back(e.path().string());
    return out;
  }
  bool cacheEmpty() const {
    std::error_code ec;
    const std::string folder = gelmora::update::UpdateDownload::cacheFolder();
    return !fs::exists(folder, ec) || fs::is_empty(folder, ec);
  }
};

// A pass-through elevator that counts its calls, and the installed runner behind it.
struct ForcedRights {
  std::string elevator, calls;
  explicit ForcedRights(const Installed& in) {
    elevator = in.work + "/elevator";
    calls = in.work + "/elevator-calls";
    writeFile(elevator, "#!/bin/sh\necho call >> '" + calls + "'\nexec \"$@\"\n", 0755);
    platform::auth::Options o;
    o.elevator = elevator;
    o.runner = in.libexec + "/gelmora-auth-runner";
    o.forceElevation = true;
    STPrivilegedTask::setAuthOptions(o);
    Utils::resetRootExecHandler();
  }
  ~ForcedRights() {
    Utils::resetRootExecHandler();
    STPrivilegedTask::setAuthOptions({});
  }
  std::size_t count() const {
    std::string text = readFile(calls);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
};

struct UpdateRun {
  RecordingAlertSheetPresenter alerts;
  gelmora::ui::RecordingProcessControl process;
  gelmora::ui::ScreenRegistry registry;

  void run(const Installed& in, const OlderService& service) {
    updateWindow::Options o;
    o.usedHost = service.address();
    o.installDir = in.prefix;
    o.helperPath = in.helper();
    o.alerts = &alerts;
    o.context.process = &process;
    o.context.screens = &registry;
    o.steps.needsRights = [](const std::string&) { return true; };
    updateWindow window(o);
    window.show();
    EXPECT_TRUE(waitForQt(
        [&] {
          if (!process.exits.empty()) return true;
          for (const auto& s : alerts.sheets)
            if (s.kind == Sheet::Buttons) return true;
          return false;
        },
        120s));
  }
};

class SelfUpdateE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gWhyNot.empty()) GTEST_SKIP() << gWhyNot;
    if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  }
};

TEST_F(SelfUpdateE2E, TheHelperThroughTheRunnerReplacesTheRootOwnedInstallation) {
  Installed in;
  ASSERT_TRUE(in.ok);
  ForcedRights rights(in);
  Utils::loakKEXT();
  ASSERT_TRUE(systest::waitFor([] { return Utils::existKEXT(); }, 15s)) << "filter not loaded";

  OlderService service;
  ASSERT_TRUE(service.start());
  UpdatePackage::serve(service, in.nextVersion("2"));
  UpdateRun update;
  update.run(in, service);

  EXPECT_EQ(update.process.exits, std::vector<int>{0});
  ASSERT_FALSE(update.alerts.sheets.empty());
  const Sheet& last = update.alerts.sheets.back();
  EXPECT_EQ(last.kind, Sheet::Modal);
  EXPECT_EQ(last.messageText, std::string(gelmora::update::kUpdateSucceededText));
  EXPECT_EQ(rights.count(), 1u);
  EXPECT_FALSE(Utils::existKEXT()) << "tamselstat still lists the filter";
  EXPECT_EQ(readFile(in.prefix + "/share/gelmora/version-marker"), "2");
  struct stat st {};
  ASSERT_EQ(::stat((in.libexec + "/zandrel").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
  EXPECT_TRUE(in.stagingLeft().empty());
  EXPECT_TRUE(in.cacheEmpty());
}

TEST_F(SelfUpdateE2E, AWrongSignatureChangesNothingAndAsksNoRights) {
  Installed in;
  ASSERT_TRUE(in.ok);
  ForcedRights rights(in);
  Utils::loakKEXT();
  ASSERT_TRUE(systest::waitFor([] { return Utils::existKEXT(); }, 15s)) << "filter not loaded";
  const std::string before = treeDigest(in.prefix);

  OlderService service;
  ASSERT_TRUE(service.start());
  standin::UpdateServing how;
  how.wrongSignature = true;
  UpdatePackage::serve(service, in.nextVersion("2"), how);
  UpdateRun update;
  update.run(in, service);

  EXPECT_TRUE(update.process.exits.empty());
  ASSERT_EQ(update.alerts.sheets.size(), 1u);
  EXPECT_EQ(update.alerts.sheets[0].kind, Sheet::Buttons);
  EXPECT_NE(update.alerts.sheets[0].informativeText.value_or("").find("does not match"),
            std::string::npos);
  EXPECT_EQ(treeDigest(in.prefix), before);
  EXPECT_EQ(rights.count(), 0u);
  EXPECT_TRUE(Utils::existKEXT()) << "the filter was unloaded by a refused update";
  EXPECT_TRUE(in.stagingLeft().empty());
  EXPECT_TRUE(in.cacheEmpty());
}

struct Child {
  int status = -1;
  std::string out;
};

// Runs the helper with an empty environment, as `uid` (root stays root).
Child runHelper(const std::string& helper, const std::vector<std::string>& args, uid_t uid) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
      ::_exit(126);
    std::vector<char*> argv{const_cast<char*>(helper.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    ::execve(helper.c_str(), argv.data(), envp);
    ::_exit(127);
  }
  ::close(fds[1]);
  Child c;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) c.out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int st = 0;
  ::waitpid(pid, &st, 0);
  c.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return c;
}

TEST_F(SelfUpdateE2E, TheHelperAgainstASecondLocalUser) {
  Installed in;
  ASSERT_TRUE(in.ok);
  // The other user's folder, with a good pair and a well-formed archive nobody signed.
  const std::string drop = in.work + "/drop";
  ASSERT_EQ(::mkdir(drop.c_str(), 0755), 0);
  ASSERT_EQ(::chown(drop.c_str(), kOtherUser, kOtherUser), 0);
  const std::string good = in.nextVersion("good");
  const std::string evil = in.nextVersion("evil");
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"good.zip", good},
           {"evil.zip", evil},
           {"client.zip", good},
           {"client.zip.sig", UpdatePackage::sign(good)}}) {
    writeFile(drop + "/" + name, bytes);
    ASSERT_EQ(::chown((drop + "/" + name).c_str(), kOtherUser, kOtherUser), 0);
  }
  const std::vector<std::string> pair{drop + "/client.zip", drop + "/client.zip.sig"};
  const std::string before = treeDigest(in.prefix);

  // Run by that user: the helper has no rights of its own to give.
  Child asUser = runHelper(in.helper(), pair, kOtherUser);
  EXPECT_NE(asUser.status, 0) << asUser.out;
  EXPECT_EQ(treeDigest(in.prefix), before);
  EXPECT_TRUE(in.stagingLeft().empty());

  // Run by root while that user swaps the signed archive for the unsigned one and back.
  const pid_t swapper = ::fork();
  if (swapper == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0)
      ::_exit(126);
    const std::string tmp = drop + "/swap.tmp";
    for (long i = 0; i < 5'000'000 && ::getppid() != 1; ++i) {
      const std::string& from = (i % 2) ? drop + "/good.zip" : drop + "/evil.zip";
      ::unlink(tmp.c_str());
      if (::link(from.c_str(), tmp.c_str()) == 0) ::rename(tmp.c_str(), pair[0].c_str());
    }
    ::_exit(0);
  }
  ASSERT_GT(swapper, 0);
  int installed = 0, refused = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const std::string start = treeDigest(in.prefix);
    Child r = runHelper(in.helper(), pair, 0);
    const std::string marker = readFile(in.prefix + "/share/gelmora/version-marker");
    EXPECT_NE(marker, "evil") << r.out;
    if (r.status == 0) {
      ++installed;
      EXPECT_EQ(marker, "good");
    } else {
      ++refused;
      EXPECT_EQ(treeDigest(in.prefix), start) << r.out;
    }
    EXPECT_TRUE(in.stagingLeft().empty());
  }
  ::kill(swapper, SIGKILL);
  ::waitpid(swapper, nullptr, 0);
  std::cout << "swapped underneath: " << installed << " installed, " << refused << " refused\n";
  // Root-owned and set-user-id as before, whatever the other user did.
  struct stat st {};
  ASSERT_EQ(::stat((in.libexec + "/zandrel").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Into a namespace of our own before any thread exists: the filter's rules stay in it.
  std::unique_ptr<systest::Netns> ns;
  std::unique_ptr<systest::Netns::Enter> inside;
  gWhyNot = systest::skipReason();
  if (gWhyNot.empty()) {
    ns = std::make_unique<systest::Netns>(systest::uniqueName("gupd"));
    if (ns->valid()) inside = std::make_unique<systest::Netns::Enter>(*ns);
    if (!inside || !inside->entered()) gWhyNot = "cannot enter a network namespace";
  }
  QApplication application(argc, argv);
  auto queue = gelmora::ui::installMainQueue();
  gelmora::ui::L10n::installTable("en");
  const int result = RUN_ALL_TESTS();
  queue->close();
  inside.reset();
  ns.reset();
  return result;
}
