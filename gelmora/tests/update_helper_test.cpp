// The privileged helper as another local user would attack it: only two absolute paths of
// regular files are taken, links and FIFOs are refused, and nothing is replaced unless the
// signature holds; a good pair replaces the helper's own installation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "UpdateTestSupport.h"
#include "gelmora/Legacy/Update/UpdateHelper.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"
#include "standin/UpdatePackage.h"

using gelmora::update::UpdateHelper;
using standin::UpdatePackage;
using namespace update_test;

namespace {

struct Result {
  int status = -1;
  std::string out;
};

Result runHelper(const std::string& helper, const std::vector<std::string>& args) {
  int pipeFd[2];
  EXPECT_EQ(::pipe2(pipeFd, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFd[1], 1);
    std::vector<char*> argv{const_cast<char*>(helper.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* envp[] = {const_cast<char*>("TMPDIR=/nonexistent"), nullptr};
    ::execve(helper.c_str(), argv.data(), envp);
    ::_exit(127);
  }
  ::close(pipeFd[1]);
  Result r;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0)
    r.out.append(buf, static_cast<std::size_t>(n));
  ::close(pipeFd[0]);
  int st = 0;
  ::waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

struct Installation {
  TempDir root;
  TempDir drop;  // where the other user leaves files
  std::string dir = root.path + "/gelmora";
  std::string helper = dir + "/libexec/gelmora/gelmora-update-helper";
  std::string archiveBytes = UpdatePackage::zip(UpdatePackage::release({{"share/gelmora/v", "2"}}));
  std::string archive = drop.path + "/client.zip";
  std::string signature = drop.path + "/client.zip.sig";
  Installation() {
    writeFile(dir + "/bin/gelmora", "v1", 0755);
    writeFile(helper, readFile(::getenv("GELMORA_UPDATE_HELPER")), 0755);
    writeFile(dir + "/share/gelmora/v", "1");
    writeFile(dir + "/share/gelmora/install_manifest.txt",
              "bin/gelmora\nlibexec/gelmora/gelmora-update-helper\nshare/gelmora/v\n");
    ::chmod(drop.path.c_str(), 0777);
    writeFile(archive, archiveBytes);
    writeFile(signature, UpdatePackage::sign(archiveBytes));
    if (::geteuid() == 0) {
      ::chown(archive.c_str(), 65534, 65534);
      ::chown(signature.c_str(), 65534, 65534);
    }
  }
};

bool testKeyBuiltIn() {
  return std::string(gelmora::update::UpdateSignature::builtInKey())
             .find(UpdatePackage::testPublicKeyPem().substr(27, 40)) != std::string::npos;
}

TEST(UpdateHelper, HostileArgumentsAndFilesNeverReplaceAnything) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  Installation in;
  ::mkfifo((in.drop.path + "/fifo").c_str(), 0666);
  ::symlink(in.archive.c_str(), (in.drop.path + "/link.zip").c_str());
  ::symlink(in.drop.path.c_str(), (in.drop.path + "/via").c_str());
  writeFile(in.drop.path + "/bad.sig",
            UpdatePackage::sign(in.archiveBytes, UpdatePackage::otherKeyPath()));
  writeFile(in.drop.path + "/big.sig", std::string(5000, 's'));
  const std::string before = treeDigest(in.dir);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* cause;
  } cases[] = {
      {"no arguments", {}, 2, "arguments"},
      {"three arguments", {in.archive, in.signature, in.archive}, 2, "arguments"},
      {"relative path", {"client.zip", in.signature}, 2, "arguments"},
      {"archive is a link", {in.drop.path + "/link.zip", in.signature}, 1, "ELOOP"},
      {"folder on the way is a link",
       {in.drop.path + "/via/client.zip", in.signature},
       1,
       "ENOTDIR"},
      {"dot-dot on the way", {in.drop.path + "/../x/client.zip", in.signature}, 2, "arguments"},
      {"signature is a FIFO", {in.archive, in.drop.path + "/fifo"}, 1, "not a regular file"},
      {"archive is a folder", {in.drop.path, in.signature}, 1, "not a regular file"},
      {"signature of another key", {in.archive, in.drop.path + "/bad.sig"}, 1, "does not match"},
      {"oversized signature", {in.archive, in.drop.path + "/big.sig"}, 1, "larger than"},
      {"missing file", {in.drop.path + "/none.zip", in.signature}, 1, "ENOENT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = runHelper(in.helper, c.args);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.cause), std::string::npos) << r.out;
    EXPECT_EQ(treeDigest(in.dir), before);
  }
  // A helper outside an installation replaces nothing.
  const std::string stray = in.drop.path + "/gelmora-update-helper";
  writeFile(stray, readFile(in.helper), 0755);
  const Result r = runHelper(stray, {in.archive, in.signature});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("not inside an installation"), std::string::npos) << r.out;
  EXPECT_EQ(treeDigest(in.dir), before);
}

TEST(UpdateHelper, AGoodPairReplacesItsOwnInstallation) {
  if (!testKeyBuiltIn()) GTEST_SKIP() << "configured with another update key";
  Installation in;
  const Result r = runHelper(in.helper, {in.archive, in.signature});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "updated " + in.dir + "\n");
  EXPECT_EQ(readFile(in.dir + "/share/gelmora/v"), "2");
  EXPECT_FALSE(std::filesystem::exists(in.helper));  // the new version does not carry one
  for (const auto& e : std::filesystem::directory_iterator(in.root.path))
    EXPECT_EQ(e.path().filename().string().rfind(".gelmora-update-", 0), std::string::npos);
}

}  // namespace
