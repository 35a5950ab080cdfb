#include "FilterAcceleration.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>

#include "FailoverScene.h"
#include "gelmora/Core/TsKextVPNController.h"
#include "gelmora/Service/Tools/LOG.h"
#include "platform/dispatch/PumpedQueue.h"
#include "systest/FilterControllerSetup.h"
#include "systest/Systest.h"

namespace failover {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace rx = platform::reactive;

namespace {
constexpr int kFlowId = 5034;

// The listed game's rules, with stream limits and both entrances.
nlohmann::json ruleList() {
  auto entrance = [](const char* ip) {
    return nlohmann::json{{"ip", ip}, {"ports", {tsl::kEntrancePort}}};
  };
  nlohmann::json list = tsl::gameRuleList(kFlowId);
  list["data"]["up_stream_limit"] = 100;
  list["data"]["down_stream_limit"] = 200;
  list["data"]["entrance"] = {entrance(kEntranceA), entrance(kEntranceB)};
  return list;
}
}  // namespace

struct FilterAcceleration::Impl {
  systest::TempDir dir{"failover-filter"};
  platform::dispatch::ScopedMainQueue main;
  std::unique_ptr<systest::FilterControllerSetup> setup;
  std::unique_ptr<TsKextVPNController> controller;
  mutable std::mutex consoleMutex;
  std::vector<std::string> console;
  std::vector<const char*> ownEnv;  // variables set here, unset at the end
};

FilterAcceleration::FilterAcceleration(const tsl::Scene& scene) : impl_(std::make_unique<Impl>()) {
  // The user's own files stay untouched when no test runner chose folders for them.
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "GELMORA_KEYCHAIN_DIR"}) {
    if (::getenv(name)) continue;
    const fs::path folder = impl_->dir.path() / name;
    fs::create_directories(folder);
    ::setenv(name, folder.c_str(), 1);
    impl_->ownEnv.push_back(name);
  }
  LOG::setConsoleSink([impl = impl_.get()](const std::string& line) {
    std::lock_guard lock(impl->consoleMutex);
    impl->console.push_back(line);
  });
  impl_->setup = std::make_unique<systest::FilterControllerSetup>(scene, ruleList());
  impl_->controller = std::make_unique<TsKextVPNController>(TsKextVPNController::defaultSteps());
}

FilterAcceleration::~FilterAcceleration() {
  stop();
  impl_->controller.reset();
  impl_->setup.reset();
  LOG::setConsoleSink({});
  for (const char* name : impl_->ownEnv) ::unsetenv(name);
}

std::vector<std::string> FilterAcceleration::start() {
  std::vector<std::string> events;
  auto& c = *impl_->controller;
  c.setAlertSink([&](const std::string& text) { events.push_back("alert:" + text); });
  bool ended = false;
  c.start().subscribe({nullptr,
                       [&](const rx::Error& e) {
                         events.push_back("error:" + std::to_string(e.code));
                         ended = true;
                       },
                       [&] {
                         events.push_back("completed");
                         ended = true;
                       }});
  if (!impl_->main.queue().runUntil([&] { return ended; }, 60s)) events.push_back("no end");
  c.drain();
  impl_->main.queue().pump();
  c.setAlertSink({});
  return events;
}

void FilterAcceleration::stop() {
  if (!impl_->controller || impl_->controller->status() == 1) return;
  impl_->controller->stop();
  impl_->controller->drain();
}

int64_t FilterAcceleration::status() const { return impl_->controller->status(); }

size_t FilterAcceleration::pathRequests() const {
  std::lock_guard lock(impl_->consoleMutex);
  size_t n = 0;
  for (const auto& l : impl_->console) n += l.find("req path off") != std::string::npos;
  return n;
}

bool FilterAcceleration::consoleContains(const std::string& text) const {
  std::lock_guard lock(impl_->consoleMutex);
  for (const auto& l : impl_->console)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace failover
