#pragma once
// Shared set-up of the older window logic's tests: a pumped main queue, a virtual clock, the
// scripted services and a window side that records what it was told.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gelmora/Legacy/FakeLegacyServices.h"
#include "gelmora/Legacy/LegacyMainState.h"
#include "gelmora/Service/Tools/LOG.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"

class RecordingMainView : public LegacyMainView {
 public:
  struct Alert {
    std::string message;
    std::string info;
  };
  void showAlert(const std::string& m, const std::string& i, std::function<void()>) override {
    alerts.push_back({m, i});
  }
  void setStartControl(bool s) override {
    starting = s;
    startControlText = s ? "正在启动加速 ..." : "启动加速";
  }
  void setProgressText(const std::string& t) override {
    progressText = t;
    progressHistory.push_back(t);
  }
  void showSpeedTab() override { ++speedTabs; }
  void setSpeedTexts(const std::string& u, const std::string& d, const std::string& ut,
                     const std::string& dt) override {
    upSpeed = u;
    downSpeed = d;
    upTotal = ut;
    downTotal = dt;
    ++speedRefreshes;
  }
  void applyReply(const nlohmann::json& r) override { applied.push_back(r); }
  void showPopup(const std::optional<nlohmann::json>& r) override {
    popups.push_back(r.value_or(nullptr));
  }

  std::vector<Alert> alerts;
  bool starting = false;
  std::string startControlText;
  std::string progressText;
  std::vector<std::string> progressHistory;
  int speedTabs = 0;
  std::string upSpeed, downSpeed, upTotal, downTotal;
  int speedRefreshes = 0;
  std::vector<nlohmann::json> applied;
  std::vector<nlohmann::json> popups;
};

class LegacyLogicTest : public ::testing::Test {
 protected:
  LegacyLogicTest() {
    LOG::setConsoleSink([this](const std::string& line) {
      std::lock_guard lock(consoleMu);
      console.push_back(line);
    });
  }
  ~LegacyLogicTest() override { LOG::setConsoleSink({}); }

  // Pumps the main queue and moves virtual time in 10 ms steps until `done` holds; the real-time
  // limit only guards against a hang.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      mainQueue.pump();
      if (done()) return true;
      clock.advance(std::chrono::milliseconds(10));
      mainQueue.pump();
      std::this_thread::yield();
    }
    return done();
  }
  // Pumps the main queue (no time passes) until `done` holds.
  bool pumpUntil(const std::function<bool()>& done) {
    return mainQueue.queue().runUntil(done, std::chrono::seconds(20));
  }
  std::vector<std::string> consoleLines() {
    std::lock_guard lock(consoleMu);
    return console;
  }

  platform::dispatch::ScopedMainQueue mainQueue;
  platform::dispatch::ScopedVirtualClock clock;
  FakeLegacyServices services;
  LegacyMainState state;
  RecordingMainView view;
  std::mutex consoleMu;
  std::vector<std::string> console;
};
