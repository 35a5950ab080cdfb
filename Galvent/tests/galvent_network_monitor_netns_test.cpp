// Reachability from rtnetlink in a network namespace of this test process alone.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Galvent/Utils/GVNetworkMonitor.h"
#include "platform/dispatch/PumpedQueue.h"

namespace {
bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }
}  // namespace

TEST(GVNetworkMonitorNetns, DefaultRouteMovesBetweenDevices) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
  // Threads started before this keep the old namespace; the monitor's thread starts after.
  if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "unshare(CLONE_NEWNET) refused";
  // Dummy devices where the module exists, else veth pairs (whose peers stay unused).
  bool dummy = sh("ip link add d0 type dummy") && sh("ip link add d1 type dummy");
  if (!dummy && !(sh("ip link add d0 type veth peer name p0") &&
                  sh("ip link add d1 type veth peer name p1") && sh("ip link set p0 up") &&
                  sh("ip link set p1 up")))
    GTEST_SKIP() << "neither dummy nor veth devices can be created here";
  ASSERT_TRUE(sh("ip link set d0 up && ip link set d1 up"));
  ASSERT_TRUE(sh("ip addr add 192.0.2.2/24 dev d0 && ip addr add 198.51.100.2/24 dev d1"));

  platform::dispatch::ScopedMainQueue main;
  auto& monitor = GVNetworkMonitor::sharedInstance();
  monitor.reset();
  std::vector<std::string> posted;
  monitor.setPoster([&](const std::string& n) { posted.push_back(n); });
  auto source = std::make_shared<GVRtnetlinkReachabilitySource>("tun-ignored");
  EXPECT_EQ(source->currentStatus(), GVReachabilityNotReachable);
  monitor.setSource(source);
  monitor.monitorInterfaceChange();
  ASSERT_TRUE(main.queue().runUntil([&] { return monitor.status() == 0; }));

  ASSERT_TRUE(sh("ip route add default via 192.0.2.1 dev d0"));
  ASSERT_TRUE(main.queue().runUntil([&] { return monitor.status() == 2; }));
  EXPECT_TRUE(monitor.WiFiValid());

  ASSERT_TRUE(sh("ip route del default"));
  ASSERT_TRUE(main.queue().runUntil([&] { return monitor.status() == 0; }));

  ASSERT_TRUE(sh("ip route add default via 198.51.100.1 dev d1"));
  ASSERT_TRUE(main.queue().runUntil([&] { return monitor.status() == 2; }));
  EXPECT_EQ(posted,
            (std::vector<std::string>{GVNetworkInterfaceNotReachable,
                                      GVNetworkInterfaceNotReachable, GVNetworkInterfaceChanged}));
  monitor.reset();
}
