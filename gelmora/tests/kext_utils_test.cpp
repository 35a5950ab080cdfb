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
  void fakeLoader(const std::string& mode) {
    std::string path = run_ + "/zandrel";
    std::ofstream f(path);
    f << "#!/bin/sh\necho \"$*\" >> '" << run_ << "/loader-calls'\n";
    if (mode == "start") {
      f << "if [ \"$1\" = load ]; then\n"
        << "  '" << TAMSELD_SIM_PATH << "' --foreground >/dev/null 2>&1 &\n"
        << "  echo $! > '" << run_ << "/sim.pid'\n"
        << "  for i in $(seq 1 500); do [ -S '" << run_ << "/cn.pelmoor.tamsel.admin' ] && exit 0;"
        << " sleep 0.01; done\n"
        << "fi\n"
        << "if [ \"$1\" = unload ] && [ -f '" << run_ << "/sim.pid' ]; then\n"
        << "  p=$(cat '" << run_ << "/sim.pid'); rm -f '" << run_ << "/sim.pid'\n"
        << "  for i in $(seq 1 500); do kill $p 2>/dev/null; [ -S '" << run_
        << "/cn.pelmoor.tamsel.admin' ] || exit 0;"
        << " sleep 0.01; done\n"
        << "fi\n";
    }
    f.close();
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    Utils::setZandrelPath(path);
  }
  std::string calls() {
    std::ifstream in(run_ + "/loader-calls");
    std::string all, l;
    while (std::getline(in, l)) all += l + ";";
    return all;
  }
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
  // A presence tool that cannot run answers yes; the control connection then decides.
  Utils::setKextstatPath(run_ + "/missing");
  EXPECT_TRUE(Utils::existKEXT());
}

}  // namespace
