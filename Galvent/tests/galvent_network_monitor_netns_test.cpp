// Reachability from rtnetlink in a network namespace of the test's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Galvent/Utils/GVNetworkMonitor.h"
#include "platform/dispatch/PumpedQueue.h"
#include "systest/Systest.h"

TEST(GVNetworkMonitorNetns, DefaultRouteMovesBetweenDevices) {
  if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
  systest::Netns ns(systest::uniqueName("gvmon"));
  ASSERT_TRUE(ns.valid());
  // Threads started before this keep the old namespace; the monitor's thread starts after.
  systest::Netns::Enter in(ns);
  ASSERT_TRUE(in.entered());
  // Dummy devices where the module exists, else veth pairs (whose peers stay unused).
  bool dummy = ns.ok("ip link add d0 type dummy") && ns.ok("ip link add d1 type dummy");
  if (!dummy && !(ns.ok("ip link add d0 type veth peer name p0") &&
                  ns.ok("ip link add d1 type veth peer name p1") && ns.ok("ip link set p0 up") &&
                  ns.ok("ip link set p1 up")))
    GTEST_SKIP() << "neither dummy nor veth devices can be created here";
  ASSERT_TRUE(ns.ok("ip link set d0 up && ip link set d1 up"));
  ASSERT_TRUE(ns.ok("ip addr add 192.0.2.2/24 dev d0 && ip addr add 198.51.100.2/24 dev d1"));

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

  ASSERT_TRUE(ns.ok("ip route add default via 192.0.2.1 dev d0"));
  ASSERT_TRUE(main.queue().runUntil([&] { return monitor.status() == 2; }));
  EXPECT_TRUE(monitor.WiFiValid());

  ASSERT_TRUE(ns.ok("ip route del default"));
  ASSERT_TRUE(main.queue().runUntil([&] { return monitor.status() == 0; }));

  ASSERT_TRUE(ns.ok("ip route add default via 198.51.100.1 dev d1"));
  ASSERT_TRUE(main.queue().runUntil([&] { return monitor.status() == 2; }));
  EXPECT_EQ(posted,
            (std::vector<std::string>{GVNetworkInterfaceNotReachable,
                                      GVNetworkInterfaceNotReachable, GVNetworkInterfaceChanged}));
  monitor.reset();
}
