// Loosening the strict reverse-path check while the tunnel runs, on files that stand for the
// kernel's setting: what is changed, what is put back, and the note that survives a crash.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ReversePathFilter.h"

namespace fs = std::filesystem;

namespace {

class ReversePathFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/gv-rpf-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setting = dir / "rp_filter";
    note = dir / "control.rp_filter";
  }
  void TearDown() override { fs::remove_all(dir); }

  void put(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
  std::string read(const fs::path& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  fs::path dir, setting, note;
};

TEST_F(ReversePathFilterTest, OnlyAStrictSettingIsLoosenedAndPutBack) {
  const struct {
    const char* before;
    const char* during;
  } cases[] = {{"1\n", "2\n"}, {"2\n", "2\n"}, {"0\n", "0\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    put(setting, c.before);
    {
      ReversePathFilter rpf(setting, note);
      rpf.loosen();
      EXPECT_EQ(read(setting), c.during);
      EXPECT_EQ(fs::exists(note), std::string(c.before) == "1\n");
      rpf.loosen();  // a second start of the same run changes nothing more
      EXPECT_EQ(read(setting), c.during);
    }
    // Gone with its run, as at a stop.
    EXPECT_EQ(read(setting), c.before);
    EXPECT_FALSE(fs::exists(note));
  }
}

TEST_F(ReversePathFilterTest, NoteOfACrashedRunIsTakenOverAndPutBack) {
  put(setting, "1\n");
  // A run that dies while the setting is loosened: its destructor never runs.
  pid_t pid = ::fork();
  if (pid == 0) {
    ReversePathFilter crashed(setting, note);
    crashed.loosen();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_EQ(read(note), "1\n");
  EXPECT_EQ(read(setting), "2\n");
  ReversePathFilter next(setting, note);
  EXPECT_NE(next.loosen().find("earlier run"), std::string::npos);
  EXPECT_EQ(read(setting), "2\n");
  EXPECT_EQ(next.restore(), "rp_filter put back to 1");
  EXPECT_EQ(read(setting), "1\n");
  EXPECT_FALSE(fs::exists(note));
}

TEST_F(ReversePathFilterTest, GuardianPutsBackOnlyANotedSetting) {
  // What the guardian does once its run died: the noted value back, the note gone.
  put(setting, "2\n");
  put(note, "1\n");
  EXPECT_EQ(ReversePathFilter::putBackNoted(setting, note), "rp_filter put back to 1");
  EXPECT_EQ(read(setting), "1\n");
  EXPECT_FALSE(fs::exists(note));
  // Without a note, or with one that holds no setting, nothing is touched.
  EXPECT_EQ(ReversePathFilter::putBackNoted(setting, note), "");
  put(note, "12\n");
  EXPECT_EQ(ReversePathFilter::putBackNoted(setting, note), "");
  EXPECT_EQ(read(setting), "1\n");
}

TEST_F(ReversePathFilterTest, ForeignNoteOrLinkIsNeitherTrustedNorFollowed) {
  // A note that holds no setting is not ours: dropped, and the strict value is noted afresh.
  put(setting, "1\n");
  put(note, "7; rm -rf /\n");
  {
    ReversePathFilter rpf(setting, note);
    rpf.loosen();
    EXPECT_EQ(read(note), "1\n");
    EXPECT_EQ(read(setting), "2\n");
  }
  EXPECT_EQ(read(setting), "1\n");
  // A link where the note goes is removed, never written through.
  const fs::path victim = dir / "victim";
  put(victim, "keep\n");
  fs::create_symlink(victim, note);
  {
    ReversePathFilter rpf(setting, note);
    rpf.loosen();
    EXPECT_EQ(read(victim), "keep\n");
    EXPECT_FALSE(fs::is_symlink(note));
  }
  EXPECT_EQ(read(setting), "1\n");
  EXPECT_EQ(read(victim), "keep\n");
}

}  // namespace
