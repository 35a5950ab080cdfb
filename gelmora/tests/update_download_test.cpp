// The archive and its signature come from the older service stand-in into a private folder that
// is gone afterwards; a cut, missing or silent answer is a download failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <mutex>

#include "UpdateTestSupport.h"
#include "gelmora/Legacy/Update/UpdateDownload.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"
#include "standin/OlderService.h"
#include "standin/UpdatePackage.h"

using gelmora::update::UpdateDownload;
using standin::OlderService;
using standin::UpdatePackage;
using namespace update_test;
using Mode = OlderService::Mode;

namespace {

OlderService::Script script(Mode mode, std::size_t cutAfter = 0) {
  OlderService::Script s;
  s.mode = mode;
  s.cutAfter = cutAfter;
  return s;
}

struct Served {
  TempDir cache;
  OlderService service;
  std::string archive = UpdatePackage::zip(UpdatePackage::release(
      {{"lib/big.so", std::string(300000, 'x') + std::to_string(::getpid())}}));
  Served() {
    ::setenv("XDG_CACHE_HOME", cache.path.c_str(), 1);
    EXPECT_TRUE(service.start());
    service.putFile(UpdateDownload::kArchivePath, archive);
    service.putFile(std::string(UpdateDownload::kArchivePath) + ".sig",
                    UpdatePackage::sign(archive));
  }
};

TEST(UpdateDownload, AddressGetsASchemeOnlyWhenItHasNone) {
  EXPECT_EQ(UpdateDownload::archiveAddress("h.example:81"),
            "http://h.example:81/q5client-macos/client.zip");
  EXPECT_EQ(UpdateDownload::archiveAddress("https://h.example"),
            "https://h.example/q5client-macos/client.zip");
}

TEST(UpdateDownload, BothFilesArriveWithAndWithoutALengthInAPrivateFolderGoneAfterwards) {
  for (Mode mode : {Mode::Answer, Mode::NoLength}) {
    Served s;
    if (mode != Mode::Answer) s.service.setFileScript(UpdateDownload::kArchivePath, script(mode));
    std::string folder;
    std::mutex mu;
    std::vector<std::pair<std::uint64_t, std::int64_t>> seen;
    mode_t folderMode = 0;
    {
      UpdateDownload download(s.service.address());
      ASSERT_FALSE(download.run([&](std::uint64_t got, std::int64_t expected) {
        std::lock_guard lock(mu);
        seen.emplace_back(got, expected);
        struct stat st {};
        if (::stat(download.folder().c_str(), &st) == 0) folderMode = st.st_mode & 07777;
      }));
      folder = download.folder();
      EXPECT_EQ(folder.rfind(s.cache.path + "/cn.gelmoras.Gelmoras2/", 0), 0u) << folder;
      EXPECT_EQ(readFile(download.archivePath()), s.archive);
      EXPECT_EQ(readFile(download.signaturePath()).size(), 64u);
    }
    EXPECT_EQ(folderMode, 0700u);
    EXPECT_FALSE(std::filesystem::exists(folder));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().first, s.archive.size());
    EXPECT_EQ(seen.back().second, mode == Mode::Answer ? std::int64_t(s.archive.size()) : -1);
  }
}

TEST(UpdateDownload, CutMissingOrSilentAnswersFail) {
  struct Case {
    const char* name;
    std::string path;
    OlderService::Script script;
    const char* cause;
  } cases[] = {
      {"archive cut", UpdateDownload::kArchivePath, script(Mode::Cut, 1000), "client.zip:"},
      {"archive dropped", UpdateDownload::kArchivePath, script(Mode::Drop), "client.zip:"},
      {"empty archive", UpdateDownload::kArchivePath, script(Mode::EmptyBody), "empty answer"},
      {"archive silent", UpdateDownload::kArchivePath, script(Mode::Silence), "client.zip:"},
      {"signature missing", "", script(Mode::Answer), "client.zip.sig: HTTP status 404"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Served s;
    if (c.path.empty()) {
      OlderService bare;
      ASSERT_TRUE(bare.start());
      bare.putFile(UpdateDownload::kArchivePath, s.archive);
      UpdateDownload download(bare.address());
      auto f = download.run();
      ASSERT_TRUE(f);
      EXPECT_NE(f->text().find(c.cause), std::string::npos) << f->text();
      continue;
    }
    s.service.setFileScript(c.path, c.script);
    UpdateDownload download(s.service.address());
    download.limits.idle = std::chrono::milliseconds(500);
    auto f = download.run();
    s.service.releaseSilent();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->step, "download");
    EXPECT_NE(f->text().find(c.cause), std::string::npos) << f->text();
    EXPECT_FALSE(std::filesystem::exists(download.archivePath()));
  }
}

}  // namespace

namespace {

TEST(UpdateDownload, TheStandInsUpdateSwitchesAnswerAsNamed) {
  standin::UpdateServing how;
  for (const char* bad : {"", "cut=", "cut=x", "fast", "cut=123456789012345"})
    EXPECT_FALSE(how.parse(bad)) << bad;
  for (const char* good : {"no-length", "wrong-signature", "cut=10", "slow", "no-signature"})
    EXPECT_TRUE(standin::UpdateServing().parse(good)) << good;

  TempDir cache;
  ::setenv("XDG_CACHE_HOME", cache.path.c_str(), 1);
  const std::string archive = UpdatePackage::zip(UpdatePackage::release({}));
  OlderService service;
  ASSERT_TRUE(service.start());
  standin::UpdateServing wrong;
  ASSERT_TRUE(wrong.parse("wrong-signature"));
  ASSERT_TRUE(wrong.parse("no-length"));
  UpdatePackage::serve(service, archive, wrong);
  UpdateDownload download(service.address());
  ASSERT_FALSE(download.run());
  EXPECT_TRUE(gelmora::update::UpdateSignature::verifyFiles(
      download.archivePath(), download.signaturePath(), UpdatePackage::testPublicKeyPem()));
  EXPECT_EQ(readFile(download.archivePath()), archive);
}

}  // namespace
