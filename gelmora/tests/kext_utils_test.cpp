// Loading, unloading and presence of the filter through a fake loader (records its arguments,
// starts tamseld-sim or does nothing) and the real presence tool.
#include <gtest/gtest.h>

#include <fstream>

#include "KextSimFixture.h"
#include "gelmora/Service/Tools/Utils.h"

namespace {

class KextUtilsTest : public KextSimFixture {
 protected:
  void SetUp() override {
    KextSimFixture::SetUp();
    Utils::setKextstatPath(TAMSELSTAT_PATH);
    Utils::setKextPath("/opt/filter/tamseld");
  }
  void TearDown() override {
    Utils::unloadKEXT();
    KextSimFixture::TearDown();
  }
  // mode "start": load starts the filter, unload stops it; "none": does nothing.
  void fakeLoader(const std::string& mode) { WriteFakeLoader("$*", mode == "start"); }
  std::string calls() { return LoaderCalls(); }
};

TEST_F(KextUtilsTest, LoadAndUnloadDecidePresence) {
  fakeLoader("start");
  EXPECT_FALSE(Utils::existKEXT());
  Utils::loakKEXT();
  EXPECT_TRUE(Utils::existKEXT());
  Utils::unloadKEXT();
  EXPECT_FALSE(Utils::existKEXT());
  EXPECT_EQ(calls(), "load /opt/filter/tamseld;unload;");
}

TEST_F(KextUtilsTest, LoaderThatDoesNothingOrIsMissing) {
  fakeLoader("none");
  Utils::loakKEXT();
  EXPECT_FALSE(Utils::existKEXT());
  EXPECT_EQ(calls(), "load /opt/filter/tamseld;");
  Utils::setZandrelPath(run_ + "/missing");
  Utils::loakKEXT();  // returns normally
  // A presence tool that cannot run tells nothing, and nothing is taken for loaded.
  fakeLoader("start");
  Utils::setZandrelPath(run_ + "/zandrel");
  Utils::loakKEXT();
  Utils::setKextstatPath(run_ + "/missing");
  EXPECT_FALSE(Utils::existKEXT());
}

}  // namespace
