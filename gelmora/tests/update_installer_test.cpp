// The installation is replaced whole or not at all: a failure at any step leaves the installed
// tree exactly as it was and no staging folder behind.
#include <gtest/gtest.h>

#include "UpdateTestSupport.h"
#include "gelmora/Legacy/Update/UpdateInstaller.h"
#include "standin/UpdatePackage.h"

using gelmora::update::UpdateArchive;
using gelmora::update::UpdateFailure;
using gelmora::update::UpdateInstaller;
using standin::UpdateEntry;
using standin::UpdatePackage;
using Step = UpdateInstaller::Step;
using namespace update_test;

namespace {

struct Installed {
  TempDir root;
  std::string dir = root.path + "/gelmora";
  std::string archive = root.path + "/client.zip";
  std::vector<std::string> logs;
  Installed() {
    std::filesystem::create_directory(dir);
    const auto v1 = UpdatePackage::zip(
        UpdatePackage::release({{"lib/old.so", "old"}, {"share/gelmora/data.txt", "v1"}}));
    EXPECT_FALSE(UpdateArchive::extractBytes(v1, dir));
    writeArchive(UpdatePackage::release({{"lib/new.so", "new"}, {"share/gelmora/data.txt", "v2"}}));
  }
  void writeArchive(const std::vector<UpdateEntry>& entries) {
    writeFile(archive, UpdatePackage::zip(entries));
  }
  bool stagingLeft() const {
    for (const auto& e : std::filesystem::directory_iterator(root.path))
      if (e.path().filename().string().rfind(".gelmora-update-", 0) == 0) return true;
    return false;
  }
  UpdateInstaller installer(std::optional<Step> failAt = std::nullopt) {
    UpdateInstaller::Seams seams;
    seams.failBefore = [failAt](Step s) -> std::optional<UpdateFailure> {
      if (failAt && *failAt == s) return UpdateFailure{UpdateInstaller::stepName(s), "injected"};
      return std::nullopt;
    };
    seams.log = [this](const std::string& line) { logs.push_back(line); };
    return UpdateInstaller(dir, seams);
  }
};

TEST(UpdateInstaller, SuccessLeavesExactlyTheArchivesTreeAndNoStagingOrOldTree) {
  Installed in;
  TempDir expected;
  ASSERT_FALSE(UpdateArchive::extract(in.archive, expected.path));
  ::chmod(expected.path.c_str(), 0755);
  ::chmod(in.dir.c_str(), 0755);
  ASSERT_FALSE(in.installer().install(in.archive));
  EXPECT_EQ(treeDigest(in.dir), treeDigest(expected.path));
  EXPECT_EQ(readFile(in.dir + "/share/gelmora/data.txt"), "v2");
  EXPECT_FALSE(std::filesystem::exists(in.dir + "/lib/old.so"));
  EXPECT_FALSE(in.stagingLeft());
}

TEST(UpdateInstaller, AFailureAtAnyStepLeavesTheInstallationUnchanged) {
  for (Step step : {Step::Extract, Step::Check, Step::Exchange, Step::AfterExchange}) {
    SCOPED_TRACE(UpdateInstaller::stepName(step));
    Installed in;
    const std::string before = treeDigest(in.dir);
    auto f = in.installer(step).install(in.archive);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->cause, "injected");
    EXPECT_EQ(treeDigest(in.dir), before);
    EXPECT_FALSE(in.stagingLeft());
  }
}

TEST(UpdateInstaller, ArchivesFailingTheTreeCheckAreRefused) {
  auto noExe = UpdatePackage::release({});
  std::erase_if(noExe, [](const UpdateEntry& e) { return e.path == "gelmora/bin/gelmora"; });
  auto unlisted = UpdatePackage::release({});
  unlisted.push_back({"gelmora/extra.txt", UpdateEntry::Type::File, 0644, "x"});
  auto missing = UpdatePackage::release({{"a.txt", "a"}});
  std::erase_if(missing, [](const UpdateEntry& e) { return e.path == "gelmora/a.txt"; });
  auto escaping = UpdatePackage::release({});
  escaping.push_back({"gelmora/lib/", UpdateEntry::Type::Directory, 0755, ""});
  escaping.push_back({"gelmora/lib/l", UpdateEntry::Type::Symlink, 0777, "../../../etc"});
  struct Case {
    const char* name;
    std::vector<UpdateEntry> entries;
    const char* cause;
  } cases[] = {{"no bin/gelmora", noExe, "bin/gelmora"},
               {"entry not in the manifest", unlisted, "extra.txt"},
               {"manifest entry missing", missing, "a.txt\" is in the manifest but missing"},
               {"escaping symlink", escaping, "symlink"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed in;
    in.writeArchive(c.entries);
    const std::string before = treeDigest(in.dir);
    auto f = in.installer().install(in.archive);
    ASSERT_TRUE(f);
    EXPECT_NE(f->text().find(c.cause), std::string::npos) << f->text();
    EXPECT_EQ(treeDigest(in.dir), before);
    EXPECT_FALSE(in.stagingLeft());
  }
}

TEST(UpdateInstaller, OldTreeRemovalFailingStillSucceedsWithALogLine) {
  Installed in;
  ASSERT_FALSE(in.installer(Step::RemoveOld).install(in.archive));
  EXPECT_EQ(readFile(in.dir + "/share/gelmora/data.txt"), "v2");
  bool logged = false;
  for (const auto& l : in.logs)
    logged = logged || l.find("old version left at") != std::string::npos;
  EXPECT_TRUE(logged);
}

TEST(UpdateInstaller, AnInstalledFolderWithForeignEntriesIsNeverSwapped) {
  for (const char* foreign :
       {"lib/foreign.so", "other/file", "share/gelmora/install_manifest.txt"}) {
    SCOPED_TRACE(foreign);
    Installed in;
    if (std::string(foreign).find("manifest") != std::string::npos)
      std::filesystem::remove(in.dir + "/" + foreign);
    else
      writeFile(in.dir + "/" + foreign, "not ours");
    const std::string before = treeDigest(in.dir);
    auto f = in.installer().install(in.archive);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->step, "installed folder");
    EXPECT_EQ(treeDigest(in.dir), before);
    EXPECT_FALSE(in.stagingLeft());
  }
  std::filesystem::create_directories("/tmp");
  EXPECT_TRUE(UpdateInstaller("/", {}).install("/nonexistent.zip"));
}

TEST(UpdateInstaller, InstallationIsTheFolderHoldingBinGelmora) {
  Installed in;
  EXPECT_EQ(UpdateInstaller::installationOf(in.dir + "/bin/gelmora"), in.dir);
  std::filesystem::create_symlink(in.dir + "/bin/gelmora", in.root.path + "/launcher");
  EXPECT_EQ(UpdateInstaller::installationOf(in.root.path + "/launcher"), in.dir);
  EXPECT_EQ(UpdateInstaller::installationOf(in.dir + "/lib/old.so"), "");
  // Everything is the test user's: no rights needed, unless something in the tree is not.
  if (::geteuid() == 0) return;  // as root every entry is writable
  EXPECT_FALSE(UpdateInstaller::needsRights(in.dir));
  ::chmod((in.dir + "/lib").c_str(), 0555);
  EXPECT_TRUE(UpdateInstaller::needsRights(in.dir));
  ::chmod((in.dir + "/lib").c_str(), 0755);
}

}  // namespace
