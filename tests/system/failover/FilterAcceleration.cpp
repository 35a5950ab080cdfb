#include "FilterAcceleration.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "FailoverScene.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/TsKextVPNController.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/Utils.h"
#include "platform/defaults/Store.h"
#include "platform/dispatch/PumpedQueue.h"
#include "standin/OlderService.h"
#include "systest/Systest.h"

namespace failover {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace rx = platform::reactive;

namespace {
constexpr int kFlowId = 5034;
constexpr char kNatText[] = "MjAzLjAuMTEzLjIwMA==";  // Base64 of the exit's NAT address

// Never asks the public address echo: the scene has no way out.
class OfflineEnvironment : public AppEnvironment {
 public:
  OfflineEnvironment() { assign(kIPEchoURL, ""); }
};

nlohmann::json ruleList() {
  auto entrance = [](const char* ip) {
    return nlohmann::json{{"ip", ip}, {"ports", {tsl::kEntrancePort}}};
  };
  return {{"code", 0},
          {"info", "ok"},
          {"data",
           {{"flow_id", kFlowId},
            {"rules",
             {{{"id", 11},
               {"traffic_level", 1},
               {"process", {"tslgame"}},
               {"port", {std::to_string(tsl::kUdpEchoPort)}},
               {"protocol", {"udp"}},
               {"destination_ip_domain", {tsl::kEchoIP}},
               {"exits", {{{"addr", "3-7"}, {"nat", kNatText}}}}}}},
            {"up_stream_limit", 100},
            {"down_stream_limit", 200},
            {"entrance", {entrance(kEntranceA), entrance(kEntranceB)}}}}};
}
}  // namespace

struct FilterAcceleration::Impl {
  systest::TempDir dir{"failover-filter"};
  platform::dispatch::ScopedMainQueue main;
  standin::OlderService service;
  std::shared_ptr<platform::defaults::Store> store;
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
  // The loader and the filter as the application finds them; the filter's run folder is the
  // scene's, its resolver a server of the scene.
  ::setenv("TAMSEL_RUN_DIR", scene.runDir().c_str(), 1);
  ::setenv("GELMORA_EDNS_SERVER", tsl::kAskedDNS, 1);
  const fs::path bin = fs::path(scene.runDir()).parent_path() / "bin";
  Utils::setZandrelPath((bin / "zandrel").string());
  Utils::setKextPath((bin / "tamseld").string());
  Utils::setKextstatPath(TAMSELSTAT_PATH);

  impl_->service.start();
  TQAPIConfig::sharedInstance().setConfigValue(impl_->service.address(), "JVXDomain");
  impl_->store = std::make_shared<platform::defaults::Store>(impl_->dir.path() / "defaults.json");
  TsParamsDirectory::setStore(impl_->store);
  AppEnvironment::setCurrentEnvironment(std::make_shared<OfflineEnvironment>());
  MLOG().setUuid(std::nullopt);
  TsParams::resetLoginValues();
  TsParams::resetRuleLists();
  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 31}, {"package_id", 7}}}});
  auto library = impl_->dir.path() / "Resources" / "area_isp.txt";
  fs::create_directories(library.parent_path());
  TsParams::setAreaispPath(library.string());
  std::ifstream fixture(std::string(OLDER_SERVICE_FIXTURES_DIR) + "/area_isp.txt");
  std::ostringstream text;
  text << fixture.rdbuf();
  impl_->service.putFile("/files/area_isp.txt", text.str());
  impl_->service.setAnswer("/q5client/rule/list", ruleList());
  impl_->controller = std::make_unique<TsKextVPNController>(TsKextVPNController::defaultSteps());
}

FilterAcceleration::~FilterAcceleration() {
  stop();
  impl_->controller.reset();
  impl_->service.stop();
  TsParamsDirectory::setStore(nullptr);
  TsParams::resetRuleLists();
  ::unsetenv("GELMORA_EDNS_SERVER");
  ::unsetenv("TAMSEL_RUN_DIR");
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
