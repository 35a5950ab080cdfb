// The update archive is checked whole before anything is written: one hostile entry refuses it,
// nothing stays in staging and nothing beside staging changes.
#include <gtest/gtest.h>

#include "UpdateTestSupport.h"
#include "gelmora/Legacy/Update/UpdateArchive.h"
#include "standin/UpdatePackage.h"

using gelmora::update::ArchiveEntry;
using gelmora::update::ArchiveLimits;
using gelmora::update::UpdateArchive;
using standin::UpdateEntry;
using standin::UpdatePackage;
using T = UpdateEntry::Type;
using namespace update_test;

namespace {

struct Staged {
  TempDir dir;
  std::string staging = dir.path + "/staging";
  std::string canary = dir.path + "/canary";
  std::string canaryBefore;
  Staged() {
    std::filesystem::create_directory(staging);
    writeFile(canary + "/keep.txt", "keep");
    writeFile(canary + "/bin/tool", "tool", 0755);
    canaryBefore = treeDigest(canary);
  }
};

std::vector<UpdateEntry> withExtra(std::vector<UpdateEntry> extra) {
  auto entries = UpdatePackage::release({{"lib/a.so", "abc"}});
  entries.insert(entries.end(), extra.begin(), extra.end());
  return entries;
}

TEST(UpdateArchive, EachHostileEntryRefusesTheWholeArchive) {
  struct Case {
    const char* name;
    std::vector<UpdateEntry> entries;
    const char* cause;
  } cases[] = {
      {"absolute name", withExtra({{"/etc/evil", T::File, 0644, "x"}}), "absolute"},
      {"dot-dot", withExtra({{"gelmora/../evil", T::File, 0644, "x"}}), ".."},
      {"dot-dot inside", withExtra({{"gelmora/lib/../../x", T::File, 0644, "x"}}), ".."},
      {"outside the top folder", withExtra({{"other/evil", T::File, 0644, "x"}}), "outside"},
      {"duplicate name", withExtra({{"gelmora/lib/a.so", T::File, 0644, "again"}}), "duplicate"},
      {"absolute symlink", withExtra({{"gelmora/lib/l", T::Symlink, 0777, "/etc/passwd"}}),
       "symlink"},
      {"symlink leaving the tree", withExtra({{"gelmora/lib/l", T::Symlink, 0777, "../../x"}}),
       "symlink"},
      {"symlink then a file through it",
       withExtra(
           {{"gelmora/lib/l", T::Symlink, 0777, "."}, {"gelmora/lib/l/x", T::File, 0644, "x"}}),
       "below a symlink"},
      {"file through a symlink listed first",
       withExtra(
           {{"gelmora/lib/m/x", T::File, 0644, "x"}, {"gelmora/lib/m", T::Symlink, 0777, "."}}),
       "below a symlink"},
      {"top folder is a file", {{"gelmora", T::File, 0644, "x"}}, "not a folder"},
      {"empty component", withExtra({{"gelmora//x", T::File, 0644, "x"}}), "component"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Staged s;
    auto f = UpdateArchive::extractBytes(UpdatePackage::zip(c.entries), s.staging);
    ASSERT_TRUE(f);
    EXPECT_NE(f->text().find(c.cause), std::string::npos) << f->text();
    EXPECT_TRUE(std::filesystem::is_empty(s.staging));
    EXPECT_EQ(treeDigest(s.canary), s.canaryBefore);
  }
}

TEST(UpdateArchive, DevicesFifosAndGarbageAreRefused) {
  // The zip writer may refuse to store special files; whatever it stores must be refused.
  for (T type : {T::Fifo, T::CharDevice}) {
    std::vector<UpdateEntry> entries = withExtra({{"gelmora/dev", type, 0644, ""}});
    std::string bytes;
    try {
      bytes = UpdatePackage::zip(entries);
    } catch (const std::exception&) {
      continue;
    }
    std::vector<ArchiveEntry> read;
    auto f = UpdateArchive::inspectBytes(bytes, read);
    if (!f) {
      for (const auto& e : read) EXPECT_NE(e.path, "dev") << "special file accepted";
    }
  }
  Staged s;
  for (std::string bytes :
       {std::string(), std::string("PK\x03\x04garbage", 12), std::string(1000, 'x')}) {
    EXPECT_TRUE(UpdateArchive::extractBytes(bytes, s.staging));
    EXPECT_TRUE(std::filesystem::is_empty(s.staging));
  }
  std::string truncated =
      UpdatePackage::zip(UpdatePackage::release({{"lib/a.so", std::string(5000, 'a')}}));
  truncated.resize(truncated.size() / 2);
  EXPECT_TRUE(UpdateArchive::extractBytes(truncated, s.staging));
  EXPECT_TRUE(std::filesystem::is_empty(s.staging));
  EXPECT_EQ(treeDigest(s.canary), s.canaryBefore);
}

TEST(UpdateArchive, ExtractsBelowTheTopFolderWithMaskedModes) {
  Staged s;
  auto entries = withExtra({{"gelmora/bin/suid", T::File, 06777, "x"},
                            {"gelmora/lib/open/", T::Directory, 01777, ""},
                            {"gelmora/lib/link", T::Symlink, 0777, "a.so"}});
  ASSERT_FALSE(UpdateArchive::extractBytes(UpdatePackage::zip(entries), s.staging));
  struct stat st {};
  ASSERT_EQ(::lstat((s.staging + "/bin/suid").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(::lstat((s.staging + "/lib/open").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(readFile(s.staging + "/lib/a.so"), "abc");
  EXPECT_EQ(std::filesystem::read_symlink(s.staging + "/lib/link"), "a.so");
  EXPECT_FALSE(std::filesystem::exists(s.staging + "/gelmora"));
}

TEST(UpdateArchive, EntryAndSizeCapsRefuseBeforeWriting) {
  const std::string bytes = UpdatePackage::zip(
      UpdatePackage::release({{"a", std::string(100, 'a')}, {"b", std::string(100, 'b')}}));
  Staged s;
  ArchiveLimits fewEntries;
  fewEntries.maxEntries = 3;
  auto f = UpdateArchive::extractBytes(bytes, s.staging, fewEntries);
  ASSERT_TRUE(f);
  EXPECT_NE(f->cause.find("more than 3 entries"), std::string::npos) << f->cause;
  ArchiveLimits fewBytes;
  fewBytes.maxBytes = 150;
  f = UpdateArchive::extractBytes(bytes, s.staging, fewBytes);
  ASSERT_TRUE(f);
  EXPECT_NE(f->cause.find("more than 150 bytes"), std::string::npos) << f->cause;
  EXPECT_TRUE(std::filesystem::is_empty(s.staging));
  EXPECT_FALSE(UpdateArchive::extractBytes(bytes, s.staging));
}

}  // namespace
