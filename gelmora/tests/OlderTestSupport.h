#pragma once
// Shared set-up of the older service layer's tests: the stand-in on loopback as the account
// service's base domain, a private defaults store, captured console lines and reports, and an
// environment that never looks up the public address.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Web/TsHttpHelper.h"
#include "standin/OlderService.h"

class OfflineEnvironment : public AppEnvironment {
 public:
  OfflineEnvironment() { assign(kIPEchoURL, ""); }
};

// Console lines of the older layer, collected from any thread.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    LOG::setConsoleSink([this](const std::string& line) {
      std::lock_guard lock(mu_);
      lines_.push_back(line);
    });
  }
  ~ConsoleCapture() { LOG::setConsoleSink({}); }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mu_);
    lines_.clear();
  }
  // Lines that start with the prefix.
  std::vector<std::string> startingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : lines()) {
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
  }
  bool anyContains(const std::string& text) const {
    auto all = lines();
    return std::any_of(all.begin(), all.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

class OlderServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start());
    TQAPIConfig::sharedInstance().setConfigValue(service.address(), "JVXDomain");
    store = std::make_shared<platform::defaults::Store>(dir.path() / "defaults.json");
    TsParamsDirectory::setStore(store);
    AppEnvironment::setCurrentEnvironment(std::make_shared<OfflineEnvironment>());
    TsParams::resetLoginValues();
    TsHttpHelper::setTimeoutInterval(std::chrono::seconds(5));
    // Reports of the shared logger stay in the test.
    MLOG().setUuid(std::nullopt);
  }
  void TearDown() override {
    service.stop();
    TsParamsDirectory::setStore(nullptr);
    TsHttpHelper::setFeedbackHook({});
    TsHttpHelper::setTimeoutInterval(std::chrono::seconds(15));
  }

  std::vector<std::string> errorLines() const { return console.startingWith("ERROR: "); }

  TempDir dir;
  standin::OlderService service;
  std::shared_ptr<platform::defaults::Store> store;
  ConsoleCapture console;
};

// A delegate that keeps what it was told and lets the test wait for it.
class RecordingDelegate : public TsTaskPortocol {
 public:
  void taskSuccess(const nlohmann::json& object) override {
    std::lock_guard lock(mu_);
    success_ = object;
    ++calls_;
    cv_.notify_all();
  }
  void taskFail(const TQError& error) override {
    std::lock_guard lock(mu_);
    error_ = error;
    failed_ = true;
    ++calls_;
    cv_.notify_all();
  }
  // Real-time guard against a hang; the outcome arrives from a worker thread.
  bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return calls_ > 0; });
  }
  bool failed() const {
    std::lock_guard lock(mu_);
    return failed_;
  }
  TQError error() const {
    std::lock_guard lock(mu_);
    return error_;
  }
  nlohmann::json success() const {
    std::lock_guard lock(mu_);
    return success_;
  }
  int calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  nlohmann::json success_;
  TQError error_;
  bool failed_ = false;
  int calls_ = 0;
};
