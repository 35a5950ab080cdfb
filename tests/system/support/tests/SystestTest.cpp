// The support library leaves nothing behind: namespaces, links and processes go with their
// owners, even a process that ignores SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include "systest/Systest.h"

using namespace std::chrono_literals;

TEST(Systest, NamespacesLinksAndProcessesAreRemovedWithTheirOwners) {
  if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
  const std::string a = systest::uniqueName("sta"), b = systest::uniqueName("stb");
  pid_t pid = -1;
  {
    systest::Netns na(a), nb(b);
    ASSERT_TRUE(na.valid() && nb.valid());
    ASSERT_TRUE(systest::veth(na, "sta0", "198.51.100.1/24", nb, "stb0", "198.51.100.50/24"));
    EXPECT_TRUE(na.ok("ping -c1 -W2 198.51.100.50")) << na.sh("ip addr").output;

    {
      systest::Netns::Enter in(nb);
      ASSERT_TRUE(in.entered());
      EXPECT_NE(systest::sh("cat /proc/thread-self/net/dev").output.find("stb0"),
                std::string::npos);
    }
    EXPECT_EQ(systest::sh("ip link show stb0").status != 0, true) << "the thread went back";

    systest::SpawnOptions inside;
    inside.netns = &na;
    auto stubborn =
        systest::Process::spawn({"/bin/sh", "-c", "trap '' TERM; echo up; exec sleep 30"}, inside);
    ASSERT_TRUE(
        systest::waitFor([&] { return stubborn.log().find("up") != std::string::npos; }, 5s));
    pid = stubborn.pid();
    stubborn.signal(SIGTERM);
    EXPECT_FALSE(stubborn.wait(100ms)) << "TERM is ignored";

    auto quick = systest::Process::spawn({"/bin/sh", "-c", "exit 7"});
    EXPECT_EQ(quick.wait(5s), 7);
  }
  EXPECT_NE(::kill(pid, 0), 0) << "the process went with its owner";
  auto list = systest::sh("ip netns list").output;
  EXPECT_EQ(list.find(a), std::string::npos);
  EXPECT_EQ(list.find(b), std::string::npos);
}
