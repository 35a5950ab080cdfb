// Log upload to the stand-in log host on loopback, with the upload thread on virtual time.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Galvent/Logger/GVLogReport.h"
#include "TestLogger.h"
#include "platform/dispatch/Clock.h"
#include "standin/logsink/LogSink.h"

using namespace std::chrono_literals;
using platform::dispatch::VirtualClock;
using standin::logsink::LogSink;

namespace {
struct Upload {
  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
  LogSink sink;
  std::unique_ptr<GVLogReport> report = std::make_unique<GVLogReport>(clock);

  void connect() { report->setUploadStreamWithHost("127.0.0.1", sink.port()); }

  // One 20 s step of the upload thread. Waits (real time, as a hang guard) until the thread
  // sleeps on its timer, and when it has lines, until it finished the pass.
  void pass() {
    for (int i = 0; i < 500 && clock->pendingCount() == 0 && !report->threadEnded(); ++i)
      std::this_thread::sleep_for(1ms);
    uint64_t before = report->passes();
    bool work = report->backlog() > 0;
    clock->advance(GVLogReport::kPassInterval);
    if (work) {
      ASSERT_TRUE(report->waitForPasses(before + 1, 10s));
    }
  }

  // Passes until the sink holds `count` lines (connecting may take a pass of its own).
  bool passUntil(size_t count, int maxPasses = 40) {
    for (int i = 0; i < maxPasses; ++i) {
      pass();
      if (sink.waitForLines(count, 50ms)) return true;
    }
    return false;
  }
};
}  // namespace

TEST(GVLogUpload, LinesArriveScrambledInOrder) {
  Upload u;
  u.connect();
  std::vector<std::string> sent = {"first line", "second %d %s 100%", "\xe4\xb8\xad text"};
  for (const auto& l : sent) u.report->appendLog(l);
  ASSERT_TRUE(u.passUntil(sent.size()));
  auto lines = u.sink.lines();
  ASSERT_EQ(lines.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_TRUE(lines[i].valid) << "line " << i << " did not unscramble: " << lines[i].text;
    EXPECT_EQ(lines[i].text, sent[i]);
  }
  EXPECT_EQ(u.sink.connections(), 1);
}

TEST(GVLogUpload, RepeatedTrafficSuppressedUntilClear) {
  Upload u;
  u.connect();
  u.report->setUnixTime([] { return int64_t{1700000000}; });
  nlohmann::json traffic = {{"ip", "192.0.2.7"}, {"note", "50% loss %s"}, {"port", 443}};
  // Every pass adds 20 s; the set is emptied in the 15th pass (300 s). The same dictionary is
  // offered before each of 16 passes: only the first and the one after the clear go out.
  std::vector<std::string> expected;
  for (int i = 1; i <= 16; ++i) {
    u.report->appendLog("tick " + std::to_string(i));
    expected.push_back("tick " + std::to_string(i));
    u.report->appendTrafficInfo(traffic);
    if (i == 1 || i == 16) expected.push_back("traffic");
    u.pass();
  }
  ASSERT_TRUE(u.passUntil(expected.size()));
  auto texts = u.sink.texts();
  ASSERT_EQ(texts.size(), expected.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    if (expected[i] != "traffic") {
      EXPECT_EQ(texts[i], expected[i]);
      continue;
    }
    auto json = nlohmann::json::parse(texts[i]);
    EXPECT_EQ(json["note"], "50% loss %s");
    EXPECT_EQ(json["time"], 1700000000);
    EXPECT_EQ(json["@TimeStamp"], 1700000000);
    EXPECT_EQ(json["ip"], "192.0.2.7");
  }
}

TEST(GVLogUpload, ReconnectsAfterSinkCloseWithoutLosingLines) {
  Upload u;
  u.connect();
  u.report->appendLog("before close");
  ASSERT_TRUE(u.passUntil(1));
  u.sink.closeConnections();
  u.report->appendLog("after close 1");
  u.report->appendLog("after close 2");
  ASSERT_TRUE(u.passUntil(3));
  EXPECT_EQ(u.sink.texts(),
            (std::vector<std::string>{"before close", "after close 1", "after close 2"}));
  EXPECT_EQ(u.sink.connections(), 2);
  EXPECT_EQ(u.sink.lines()[2].connection, 2);
}

TEST(GVLogUpload, RefusedHostKeepsLinesUntilItAccepts) {
  Upload u;
  standin::logsink::Switches refuse;
  refuse.refuseConnections = true;
  u.sink.setSwitches(refuse);
  u.connect();
  u.report->appendLog("kept");
  for (int i = 0; i < 4; ++i) u.pass();
  EXPECT_EQ(u.report->backlog(), 1u);
  EXPECT_TRUE(u.sink.lines().empty());
  u.sink.setSwitches({});
  ASSERT_TRUE(u.passUntil(1));
  EXPECT_EQ(u.sink.texts(), std::vector<std::string>{"kept"});
}

TEST(GVLogUpload, SlowReaderGetsEverything) {
  Upload u;
  standin::logsink::Switches slow;
  slow.readDelay = 1ms;
  u.sink.setSwitches(slow);
  u.connect();
  for (int i = 0; i < 50; ++i) u.report->appendLog("slow " + std::to_string(i));
  ASSERT_TRUE(u.passUntil(50));
  EXPECT_EQ(u.sink.texts().back(), "slow 49");
}

TEST(GVLogUpload, BacklogCapDropsTheOldest) {
  LoggingScope scope;
  Upload u;
  const size_t extra = 5;
  for (size_t i = 0; i < GVLogReport::kMaxBacklog + extra; ++i)
    u.report->appendLog("line " + std::to_string(i));
  EXPECT_EQ(u.report->backlog(), GVLogReport::kMaxBacklog);
  u.connect();
  ASSERT_TRUE(u.passUntil(GVLogReport::kMaxBacklog));
  auto texts = u.sink.texts();
  EXPECT_EQ(texts.front(), "line " + std::to_string(extra));
  EXPECT_EQ(texts.back(), "line " + std::to_string(GVLogReport::kMaxBacklog + extra - 1));
  size_t warnings = 0;
  for (const auto& l : scope.logger->lines()) warnings += l.rfind("W ", 0) == 0;
  EXPECT_EQ(warnings, 1u);
}

TEST(GVLogUpload, DisableWithoutStreamEndsTheThread) {
  LoggingScope scope;
  Upload u;
  u.report->setDisableLog(true);
  u.report->appendLog("refused");
  EXPECT_EQ(u.report->backlog(), 0u);
  u.pass();
  for (int i = 0; i < 2000 && !u.report->threadEnded(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(u.report->threadEnded());
  auto lines = scope.logger->lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "E Disable LogReport, backgroud thread exit");
}
