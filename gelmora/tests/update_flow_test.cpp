// The self-update from download to swap against the older service stand-in: status texts in
// order, rights asked only once the archive is proven genuine and only when needed, and every
// failure leaves the installation exactly as it was.
#include <gtest/gtest.h>

#include "UpdateTestSupport.h"
#include "gelmora/Legacy/Update/UpdateDownload.h"
#include "gelmora/Legacy/Update/UpdateFlow.h"
#include "gelmora/Legacy/Update/UpdateHelper.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"
#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "standin/OlderService.h"
#include "standin/UpdatePackage.h"

using namespace gelmora::update;
using standin::OlderService;
using standin::UpdateEntry;
using standin::UpdatePackage;
using namespace update_test;
using Kind = UpdateOutcome::Kind;

namespace {

struct Fixture {
  TempDir cache;
  TempDir root;
  OlderService service;
  std::string dir = root.path + "/gelmora";
  std::string helper = dir + "/libexec/gelmora/gelmora-update-helper";
  std::vector<std::string> statuses, alerts;
  std::vector<std::pair<double, double>> progress;
  int rightsAsked = 0, unloads = 0, needsAsked = 0;
  bool needRights = false;
  bool grant = false;
  bool helperFails = false;

  Fixture() {
    ::setenv("XDG_CACHE_HOME", cache.path.c_str(), 1);
    writeFile(dir + "/bin/gelmora", "v1", 0755);
    writeFile(helper, "helper", 0755);
    writeFile(dir + "/share/gelmora/install_manifest.txt",
              "bin/gelmora\nlibexec/gelmora/gelmora-update-helper\n");
    EXPECT_TRUE(service.start());
    serve(UpdatePackage::release({{"share/gelmora/v", std::string(70000, '2')}}));
  }
  void serve(const std::vector<UpdateEntry>& entries,
             const std::string& key = UpdatePackage::testKeyPath()) {
    const std::string bytes = UpdatePackage::zip(entries);
    service.putFile(UpdateDownload::kArchivePath, bytes);
    service.putFile(std::string(UpdateDownload::kArchivePath) + ".sig",
                    UpdatePackage::sign(bytes, key));
  }
  UpdateOutcome run() {
    UpdateFlow::Steps steps;
    steps.status = [this](const std::string& t) { statuses.push_back(t); };
    steps.progress = [this](double v, double m) { progress.emplace_back(v, m); };
    steps.needsRights = [this](const std::string&) {
      ++needsAsked;
      return needRights;
    };
    steps.rights = [this]() -> std::shared_ptr<STPrivilegedTask> {
      ++rightsAsked;
      return grant ? std::make_shared<STPrivilegedTask>() : nullptr;
    };
    steps.alert = [this](const std::string& t) { alerts.push_back(t); };
    steps.unloadKEXT = [this] { ++unloads; };
    // The real helper's logic, in-process (the privileged runner is exercised end to end
    // elsewhere).
    steps.runHelper = [this](STPrivilegedTask&, const std::string& h, const std::string& a,
                             const std::string& s) {
      UpdateFlow::Result r;
      if (helperFails)
        return UpdateFlow::Result{1, "failed: exchange: EXDEV (Invalid cross-device link)\n"};
      r.status = UpdateHelper::run({a, s}, h, r.output);
      return r;
    };
    return UpdateFlow(service.address(), dir, helper, steps).run();
  }
};

bool testKeyBuiltIn() {
  return std::string(UpdateSignature::builtInKey())
             .find(UpdatePackage::testPublicKeyPem().substr(27, 40)) != std::string::npos;
}

TEST(UpdateFlow, InstallsWithAndWithoutALengthShowingTheStatusTextsInOrder) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  for (bool withLength : {true, false}) {
    SCOPED_TRACE(withLength ? "with length" : "without length");
    Fixture f;
    if (!withLength) {
      OlderService::Script s;
      s.mode = OlderService::Mode::NoLength;
      f.service.setFileScript(UpdateDownload::kArchivePath, s);
    }
    const auto out = f.run();
    ASSERT_EQ(out.kind, Kind::Installed) << out.failure.text();
    EXPECT_EQ(readFile(f.dir + "/share/gelmora/v"), std::string(70000, '2'));
    EXPECT_EQ(f.unloads, 1);
    EXPECT_EQ(f.rightsAsked, 0);
    ASSERT_GE(f.statuses.size(), 3u);
    EXPECT_EQ(f.statuses.front(), "开始下载...(0/0)");
    EXPECT_EQ(f.statuses.back(), kUpdateDownloadedText);
    const std::string& beforeLast = f.statuses[f.statuses.size() - 2];
    if (withLength) {
      EXPECT_EQ(beforeLast, kUpdateDownloadedAskRightsText);
      EXPECT_GT(f.progress.back().second, 0);
    } else {
      EXPECT_EQ(beforeLast.rfind("开始下载...(", 0), 0u) << beforeLast;
      EXPECT_TRUE(beforeLast.find("/-1)") != std::string::npos) << beforeLast;
      for (const auto& s : f.statuses) EXPECT_NE(s, kUpdateDownloadedAskRightsText);
    }
  }
}

TEST(UpdateFlow, FailuresLeaveTheInstallationUnchangedAndAskNoRightsWhenTheyComeFirst) {
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
      {"wrong signature",
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
       "download", false},
      {"../ entry", [dotdot](Fixture& f) { f.serve(dotdot); }, "..", true},
      {"escaping symlink", [escaping](Fixture& f) { f.serve(escaping); }, "symlink", true},
      {"helper fails the exchange", [](Fixture& f) { f.helperFails = true; },
       "installation: exchange: EXDEV", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.needRights = true;
    f.grant = true;
    c.arrange(f);
    const std::string before = treeDigest(f.dir);
    const auto out = f.run();
    ASSERT_EQ(out.kind, Kind::Failed);
    EXPECT_NE(out.failure.text().find(c.cause), std::string::npos) << out.failure.text();
    EXPECT_EQ(treeDigest(f.dir), before);
    EXPECT_EQ(f.rightsAsked, c.rightsFirst ? 1 : 0);
    EXPECT_EQ(f.unloads, c.rightsFirst ? 1 : 0);
  }
}

TEST(UpdateFlow, RightsRefusedThreeTimesAlertsTwiceThenEnds) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  Fixture f;
  f.needRights = true;
  const std::string before = treeDigest(f.dir);
  const auto out = f.run();
  EXPECT_EQ(out.kind, Kind::RightsRefused);
  EXPECT_EQ(f.rightsAsked, 3);
  EXPECT_EQ(f.alerts, (std::vector<std::string>{kUpdateRightsRetryText, kUpdateRightsRetryText,
                                                kUpdateRightsFailedText}));
  EXPECT_EQ(f.unloads, 0);
  EXPECT_EQ(treeDigest(f.dir), before);
}

TEST(UpdateFlow, WithRightsTheHelperReplacesTheInstallation) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  Fixture f;
  f.needRights = true;
  f.grant = true;
  const auto out = f.run();
  ASSERT_EQ(out.kind, Kind::Installed) << out.failure.text();
  EXPECT_EQ(f.rightsAsked, 1);
  EXPECT_EQ(readFile(f.dir + "/share/gelmora/v"), std::string(70000, '2'));
}

}  // namespace
