// The detached signature of the update archive: only the exact 64-byte signature of the exact
// bytes under the trusted key passes.
#include <gtest/gtest.h>

#include "UpdateTestSupport.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"
#include "standin/UpdatePackage.h"

using gelmora::update::UpdateSignature;
using standin::UpdatePackage;
using namespace update_test;

namespace {

const std::string kArchive = UpdatePackage::zip(UpdatePackage::release({{"lib/a.so", "abc"}}));

TEST(UpdateSignature, OnlyTheExactSignatureOfTheExactBytesUnderTheTrustedKeyPasses) {
  const std::string key = UpdatePackage::testPublicKeyPem();
  const std::string good = UpdatePackage::sign(kArchive);
  EXPECT_FALSE(UpdateSignature::verify(kArchive, good, key));

  std::string flippedArchive = kArchive;
  flippedArchive[flippedArchive.size() / 2] ^= 0x01;
  std::string flippedSig = good;
  flippedSig[10] ^= 0x80;
  struct Case {
    const char* name;
    std::string data, sig, cause;
  } cases[] = {
      {"bit flipped in archive", flippedArchive, good, "does not match"},
      {"bit flipped in signature", kArchive, flippedSig, "does not match"},
      {"63 bytes", kArchive, good.substr(0, 63), "63 bytes"},
      {"65 bytes", kArchive, good + "x", "65 bytes"},
      {"another key", kArchive, UpdatePackage::sign(kArchive, UpdatePackage::otherKeyPath()),
       "does not match"},
      {"empty signature", kArchive, "", "0 bytes"},
      {"empty archive", "", good, "does not match"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = UpdateSignature::verify(c.data, c.sig, key);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->step, "signature");
    EXPECT_NE(f->cause.find(c.cause), std::string::npos) << f->cause;
  }
}

TEST(UpdateSignature, FilesAreReadWithoutFollowingLinksAndTheBuiltInKeyIsTheTestKeyByDefault) {
  TempDir dir;
  const std::string arc = dir.path + "/client.zip", sig = arc + ".sig";
  writeFile(arc, kArchive);
  writeFile(sig, UpdatePackage::sign(kArchive));
  // Test builds trust the stand-in's key (the build warns when no key is given).
  if (std::string(UpdateSignature::builtInKey())
          .find(UpdatePackage::testPublicKeyPem().substr(27, 40)) == std::string::npos)
    GTEST_SKIP() << "configured with another update key";
  EXPECT_FALSE(UpdateSignature::verifyFiles(arc, sig));

  writeFile(dir.path + "/empty.sig", "");
  auto f = UpdateSignature::verifyFiles(arc, dir.path + "/empty.sig");
  ASSERT_TRUE(f);
  EXPECT_NE(f->cause.find("0 bytes"), std::string::npos);

  std::filesystem::create_symlink(arc, dir.path + "/link.zip");
  f = UpdateSignature::verifyFiles(dir.path + "/link.zip", sig);
  ASSERT_TRUE(f);
  EXPECT_NE(f->cause.find("ELOOP"), std::string::npos) << f->cause;
  EXPECT_TRUE(UpdateSignature::verifyFiles(dir.path + "/missing.zip", sig));
}

}  // namespace
