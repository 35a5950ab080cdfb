#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Galvent/Utils/GVNetworkMonitor.h"
#include "TestLogger.h"
#include "platform/notifications/NotificationCenter.h"

namespace {
const std::string C = GVNetworkInterfaceChanged;
const std::string N = GVNetworkInterfaceNotReachable;

struct Step {
  int status;
  std::vector<std::string> posted;
  bool wifi, wwan;
};

std::vector<std::string> run(const std::vector<Step>& steps, const char* name) {
  auto& monitor = GVNetworkMonitor::sharedInstance();
  monitor.reset();
  auto source = std::make_shared<GVFakeReachabilitySource>();
  std::vector<std::string> posted;
  monitor.setSource(source);
  monitor.setPoster([&](const std::string& n) { posted.push_back(n); });
  monitor.monitorInterfaceChange();
  EXPECT_EQ(monitor.status(), -1);
  for (size_t i = 0; i < steps.size(); ++i) {
    posted.clear();
    source->report(steps[i].status);
    EXPECT_EQ(posted, steps[i].posted) << name << " step " << i;
    EXPECT_EQ(monitor.status(), steps[i].status) << name << " step " << i;
    EXPECT_EQ(monitor.WiFiValid(), steps[i].wifi) << name << " step " << i;
    EXPECT_EQ(monitor.WWANValid(), steps[i].wwan) << name << " step " << i;
  }
  monitor.reset();
  return posted;
}
}  // namespace

TEST(GVNetworkMonitor, ReachabilitySequences) {
  struct Sequence {
    const char* name;
    std::vector<Step> steps;
  } sequences[] = {
      {"first wifi is not a change, then wifi to cell",
       {{2, {}, true, false}, {1, {C}, false, true}, {2, {C}, true, false}}},
      {"first cell is not a change", {{1, {}, false, true}}},
      {"not reachable keeps the flags, same interface back is a change",
       {{2, {}, true, false}, {0, {N}, true, false}, {2, {C}, true, false}}},
      {"not reachable before anything was usable", {{0, {N}, false, false}, {2, {}, true, false}}},
      {"unknown clears both flags, next usable state is not a change",
       {{2, {}, true, false}, {-1, {C}, false, false}, {2, {}, true, false}}},
      {"same status twice posts nothing", {{2, {}, true, false}, {2, {}, true, false}}},
      {"two not-reachable reports post twice",
       {{1, {}, false, true}, {0, {N}, false, true}, {0, {N}, false, true}, {1, {C}, false, true}}},
  };
  for (const auto& s : sequences) run(s.steps, s.name);
}

TEST(GVNetworkMonitor, LogsEachReport) {
  LoggingScope scope;
  run({{2, {}, true, false}, {0, {N}, true, false}}, "log");
  EXPECT_EQ(scope.logger->lines(),
            (std::vector<std::string>{"I Interface may changed, Is Wifi: 1, Is Cell: 0",
                                      "I Interface may not reachable..."}));
}

TEST(GVNetworkMonitor, PostsOnTheDefaultCentreWithoutObject) {
  auto& center = platform::notifications::NotificationCenter::defaultCenter();
  std::vector<std::string> seen;
  auto changed = center.observe(GVNetworkInterfaceChanged, [&](const auto& n) {
    EXPECT_FALSE(n.object.has_value());
    seen.push_back(n.name);
  });
  auto lost = center.observe(GVNetworkInterfaceNotReachable,
                             [&](const auto& n) { seen.push_back(n.name); });
  auto& monitor = GVNetworkMonitor::sharedInstance();
  monitor.reset();
  auto source = std::make_shared<GVFakeReachabilitySource>();
  monitor.setSource(source);
  monitor.monitorInterfaceChange();
  source->report(2);
  source->report(0);
  source->report(1);
  EXPECT_EQ(seen, (std::vector<std::string>{N, C}));
  monitor.reset();
}
