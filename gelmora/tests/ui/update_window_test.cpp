// The self-update window against the older-service stand-in, with recording alerts and process
// control and fake rights: success with and without a length, the status texts in order, every
// failure leaving the installation as it was behind the three-button sheet, the refused rights,
// the sheet's three answers, and the private download folder (0700 while it runs, gone after).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QLabel>
#include <QProgressBar>

#include "../UpdateTestSupport.h"
#include "UiTestSupport.h"
#include "gelmora/Legacy/Update/UpdateDownload.h"
#include "gelmora/Legacy/Update/UpdateHelper.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "standin/OlderService.h"
#include "standin/UpdatePackage.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Legacy/updateWindow.h"

using gelmora::ui::RecordingAlertSheetPresenter;
using gelmora::ui::RecordingProcessControl;
using gelmora::ui::ScreenRegistry;
using gelmora::ui::updateWindow;
using gelmora::ui::test::waitFor;
using namespace gelmora::update;
using namespace update_test;
using standin::OlderService;
using standin::UpdateEntry;
using standin::UpdatePackage;
using Sheet = RecordingAlertSheetPresenter::Sheet;

namespace {

bool testKeyBuiltIn() {
  return std::string(UpdateSignature::builtInKey())
             .find(UpdatePackage::testPublicKeyPem().substr(27, 40)) != std::string::npos;
}

// Entries of the private download folders below the cache folder, with their modes.
std::vector<std::pair<std::string, mode_t>> downloadFolders() {
  std::vector<std::pair<std::string, mode_t>> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(UpdateDownload::cacheFolder(), ec)) {
    struct stat st {};
    ::lstat(e.path().c_str(), &st);
    out.emplace_back(e.path().filename().string(), st.st_mode & 07777);
  }
  return out;
}

// Bytes that do not compress, so the archive is as long as its content.
std::string noise(std::size_t n) {
  std::string out(n, '\0');
  std::uint32_t x = 2463534242u;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

struct Fixture {
  TempDir cache;
  TempDir root;
  TempDir defaultsDir;
  OlderService service;
  std::string dir = root.path + "/gelmora";
  std::string helper = dir + "/libexec/gelmora/gelmora-update-helper";
  RecordingAlertSheetPresenter alerts;
  RecordingProcessControl process;
  ScreenRegistry registry;
  std::vector<std::string> statuses;
  std::vector<std::pair<double, double>> progress;
  std::vector<std::pair<std::string, mode_t>> foldersWhileRunning;
  int rightsAsked = 0, unloads = 0, loginsMade = 0;
  std::vector<std::string> webWindowsMade;
  bool needRights = false, grant = false, helperFails = false;
  std::unique_ptr<updateWindow> window;

  Fixture() {
    ::setenv("XDG_CACHE_HOME", cache.path.c_str(), 1);
    TsParamsDirectory::setStore(
        std::make_shared<platform::defaults::Store>(defaultsDir.path + "/defaults.json"));
    writeFile(dir + "/bin/gelmora", "v1", 0755);
    writeFile(helper, "helper", 0755);
    writeFile(dir + "/share/gelmora/install_manifest.txt",
              "bin/gelmora\nlibexec/gelmora/gelmora-update-helper\n");
    EXPECT_TRUE(service.start());
    serve(UpdatePackage::release({{"share/gelmora/v", noise(200000)}}));
    registry.olderLogin.set([this](const gelmora::ui::LegacyContext& c) -> QWidget* {
      ++loginsMade;
      EXPECT_EQ(c.process, &process);  // the window's context goes on
      return new QWidget;
    });
    registry.olderWebWindow.set([this](const std::string& name) -> QWidget* {
      webWindowsMade.push_back(name);
      return new QWidget;
    });
  }
  ~Fixture() {
    window.reset();
    TsParamsDirectory::setStore(nullptr);
  }
  void serve(const std::vector<UpdateEntry>& entries,
             const std::string& key = UpdatePackage::testKeyPath()) {
    const std::string bytes = UpdatePackage::zip(entries);
    service.putFile(UpdateDownload::kArchivePath, bytes);
    service.putFile(std::string(UpdateDownload::kArchivePath) + ".sig",
                    UpdatePackage::sign(bytes, key));
  }
  void open() {
    updateWindow::Options o;
    o.usedHost = service.address();
    o.installDir = dir;
    o.helperPath = helper;
    o.supportURL = "https://chat.example.test/live";
    o.alerts = &alerts;
    o.context.process = &process;
    o.context.screens = &registry;
    o.steps.status = [this](const std::string& t) { statuses.push_back(t); };
    o.steps.progress = [this](double v, double m) { progress.emplace_back(v, m); };
    o.steps.needsRights = [this](const std::string&) {
      foldersWhileRunning = downloadFolders();
      return needRights;
    };
    o.steps.rights = [this]() -> std::shared_ptr<STPrivilegedTask> {
      ++rightsAsked;
      return grant ? std::make_shared<STPrivilegedTask>() : nullptr;
    };
    o.steps.unloadKEXT = [this] { ++unloads; };
    // The helper's own logic in-process; the real one through the runner is the system test's.
    o.steps.runHelper = [this](STPrivilegedTask&, const std::string& h, const std::string& a,
                               const std::string& s) {
      if (helperFails)
        return UpdateFlow::Result{1, "failed: exchange: EXDEV (Invalid cross-device link)\n"};
      UpdateFlow::Result r;
      r.status = UpdateHelper::run({a, s}, h, r.output);
      return r;
    };
    window = std::make_unique<updateWindow>(o);
    window->show();
  }
  const Sheet* sheetOf(Sheet::Kind kind) const {
    for (const auto& s : alerts.sheets)
      if (s.kind == kind) return &s;
    return nullptr;
  }
  // Until the window exits the program or shows its failure sheet.
  bool waitForEnd() {
    return waitFor([this] { return !process.exits.empty() || sheetOf(Sheet::Buttons); }, 30000);
  }
};

TEST(UpdateWindow, InstallsWithAndWithoutALengthShowingTheStatusTextsInOrder) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  for (bool withLength : {true, false}) {
    SCOPED_TRACE(withLength ? "with length" : "without length");
    Fixture f;
    if (!withLength) {
      OlderService::Script s;
      s.mode = OlderService::Mode::NoLength;
      f.service.setFileScript(UpdateDownload::kArchivePath, s);
    }
    f.open();
    ASSERT_TRUE(f.waitForEnd());
    EXPECT_EQ(f.process.exits, std::vector<int>{0});
    ASSERT_EQ(f.alerts.sheets.size(), 1u);
    const Sheet& done = f.alerts.sheets[0];
    EXPECT_EQ(done.kind, Sheet::Modal);
    EXPECT_EQ(done.messageText, std::string(kUpdateSucceededText));
    EXPECT_EQ(done.buttons, std::vector<std::string>{"确定"});
    EXPECT_EQ(readFile(f.dir + "/share/gelmora/v"), noise(200000));
    EXPECT_EQ(f.unloads, 1);
    EXPECT_EQ(f.rightsAsked, 0);

    // The texts in the order the label showed them; the last is on screen.
    ASSERT_GE(f.statuses.size(), 3u);
    EXPECT_EQ(f.statuses.front(), "开始下载...(0/0)");
    EXPECT_EQ(f.statuses.back(), kUpdateDownloadedText);
    EXPECT_EQ(f.window->labeInitData()->text().toStdString(), kUpdateDownloadedText);
    const std::string& beforeLast = f.statuses[f.statuses.size() - 2];
    const QProgressBar* bar = f.window->NowProgressBar();
    if (withLength) {
      EXPECT_EQ(beforeLast, kUpdateDownloadedAskRightsText);
      // KiB of the archive, complete.
      EXPECT_GE(bar->maximum(), 195);
      EXPECT_EQ(bar->value(), bar->maximum());
      EXPECT_EQ(f.progress.back().first, f.progress.back().second);
    } else {
      EXPECT_NE(beforeLast.find("/-1)"), std::string::npos) << beforeLast;
      for (const auto& s : f.statuses) EXPECT_NE(s, kUpdateDownloadedAskRightsText);
      EXPECT_EQ(bar->maximum(), 0);  // busy
    }
    // The private folder was there, 0700, once the download was proven; now it is gone.
    ASSERT_EQ(f.foldersWhileRunning.size(), 1u);
    EXPECT_EQ(f.foldersWhileRunning[0].second, 0700u);
    EXPECT_TRUE(downloadFolders().empty());
  }
}

TEST(UpdateWindow, FailuresLeaveTheInstallationAndShowTheSheetWithItsCause) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  auto dotdot = UpdatePackage::release({});
  dotdot.push_back({"gelmora/../evil", UpdateEntry::Type::File, 0644, "x"});
  auto escaping = UpdatePackage::release({});
  escaping.push_back({"gelmora/l", UpdateEntry::Type::Symlink, 0777, "../../etc"});
  struct Case {
    const char* name;
    std::function<void(Fixture&)> arrange;
    const char* cause;
    bool rightsFirst;
  } cases[] = {
      {"bad signature",
       [](Fixture& f) { f.serve(UpdatePackage::release({}), UpdatePackage::otherKeyPath()); },
       "does not match", false},
      {"missing signature",
       [](Fixture& f) {
         OlderService::Script s;
         s.mode = OlderService::Mode::Drop;
         f.service.setFileScript(std::string(UpdateDownload::kArchivePath) + ".sig", s);
       },
       "client.zip.sig", false},
      {"truncated download",
       [](Fixture& f) {
         OlderService::Script s;
         s.mode = OlderService::Mode::Cut;
         s.cutAfter = 300;
         f.service.setFileScript(UpdateDownload::kArchivePath, s);
       },
       "download: client.zip", false},
      {"../ entry", [dotdot](Fixture& f) { f.serve(dotdot); }, "..", true},
      {"escaping symlink", [escaping](Fixture& f) { f.serve(escaping); }, "symlink", true},
      {"failed exchange", [](Fixture& f) { f.helperFails = true; }, "installation: exchange: EXDEV",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.needRights = true;
    f.grant = true;
    c.arrange(f);
    const std::string before = treeDigest(f.dir);
    f.open();
    ASSERT_TRUE(f.waitForEnd());
    EXPECT_TRUE(f.process.exits.empty());
    ASSERT_EQ(f.alerts.sheets.size(), 1u);
    const Sheet& sheet = f.alerts.sheets[0];
    EXPECT_EQ(sheet.kind, Sheet::Buttons);
    EXPECT_EQ(sheet.messageText, std::string("更新失败"));
    ASSERT_TRUE(sheet.informativeText);
    EXPECT_EQ(sheet.informativeText->rfind("更新新版本失败\n失败原因：", 0), 0u);
    EXPECT_NE(sheet.informativeText->find(c.cause), std::string::npos) << *sheet.informativeText;
    EXPECT_EQ(sheet.buttons, (std::vector<std::string>{"意见反馈", "退出程序", "跳过此版本"}));
    EXPECT_EQ(treeDigest(f.dir), before);
    EXPECT_EQ(f.rightsAsked, c.rightsFirst ? 1 : 0);
    EXPECT_EQ(f.unloads, c.rightsFirst ? 1 : 0);
    EXPECT_TRUE(downloadFolders().empty());
    EXPECT_TRUE(f.window->isVisible());
  }
}

TEST(UpdateWindow, RightsRefusedThreeTimesAlertsTwiceThenEnds) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  Fixture f;
  f.needRights = true;
  const std::string before = treeDigest(f.dir);
  f.open();
  ASSERT_TRUE(f.waitForEnd());
  EXPECT_EQ(f.process.exits, std::vector<int>{1});
  EXPECT_EQ(f.rightsAsked, 3);
  std::vector<std::string> informative;
  for (const auto& s : f.alerts.sheets) {
    EXPECT_EQ(s.kind, Sheet::Modal);
    EXPECT_EQ(s.messageText, std::string("错误"));
    EXPECT_EQ(s.buttons, std::vector<std::string>{"确定"});
    informative.push_back(s.informativeText.value_or(""));
  }
  EXPECT_EQ(informative, (std::vector<std::string>{kUpdateRightsRetryText, kUpdateRightsRetryText,
                                                   kUpdateRightsFailedText}));
  EXPECT_EQ(f.unloads, 0);
  EXPECT_EQ(treeDigest(f.dir), before);
  EXPECT_TRUE(downloadFolders().empty());
}

TEST(UpdateWindow, TheFailureSheetsThreeAnswers) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  struct Case {
    const char* name;
    long response;
  } cases[] = {{"意见反馈", 1000}, {"退出程序", 1001}, {"跳过此版本", 1002}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.serve(UpdatePackage::release({}), UpdatePackage::otherKeyPath());
    const std::string before = treeDigest(f.dir);
    f.open();
    ASSERT_TRUE(f.waitForEnd());
    f.alerts.answer(0, c.response);
    QCoreApplication::processEvents();
    EXPECT_EQ(treeDigest(f.dir), before);
    EXPECT_TRUE(f.process.exits.empty());
    EXPECT_FALSE(f.window->isVisible());
    auto stored = TsParamsDirectory::getValue(updateWindow::kFeedbackKey);
    if (c.response == 1000) {
      EXPECT_EQ(f.webWindowsMade, std::vector<std::string>{"Feedback"});
      ASSERT_TRUE(f.window->feedbackWindow());
      EXPECT_TRUE(f.window->feedbackWindow()->isVisible());
      ASSERT_TRUE(stored);
      EXPECT_EQ(std::get<std::string>(*stored), "https://chat.example.test/live");
    } else {
      EXPECT_TRUE(f.webWindowsMade.empty());
      EXPECT_FALSE(stored);
    }
    if (c.response == 1002) {
      EXPECT_EQ(f.loginsMade, 1);
      ASSERT_TRUE(f.window->loginWindow());
      EXPECT_TRUE(f.window->loginWindow()->isVisible());
    } else {
      EXPECT_EQ(f.loginsMade, 0);
    }
  }
}

TEST(UpdateWindow, ClosingWhileDownloadingEndsTheDownloadAndRemovesItsFolder) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  Fixture f;
  OlderService::Script s;
  s.mode = OlderService::Mode::Trickle;
  s.delay = std::chrono::milliseconds(20);
  f.service.setFileScript(UpdateDownload::kArchivePath, s);
  const std::string before = treeDigest(f.dir);
  f.open();
  ASSERT_TRUE(waitFor([&] { return !downloadFolders().empty() && !f.progress.empty(); }, 10000));
  EXPECT_EQ(downloadFolders()[0].second, 0700u);
  f.window->close();
  ASSERT_TRUE(waitFor([&] { return !f.window->isDownloading(); }, 10000));
  EXPECT_TRUE(f.alerts.sheets.empty());
  EXPECT_TRUE(f.process.exits.empty());
  EXPECT_TRUE(downloadFolders().empty());
  EXPECT_EQ(treeDigest(f.dir), before);
}

TEST(UpdateWindow, RegisteredAsTheUpdateWindow) {
  ScreenRegistry registry;
  gelmora::ui::registerScreens(registry);
  EXPECT_TRUE(registry.olderUpdate.registered());
}

}  // namespace
