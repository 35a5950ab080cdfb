#include "systest/FilterControllerSetup.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "Tovra/Base/TQAPIConfig.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/Utils.h"
#include "platform/defaults/Store.h"
#include "standin/OlderService.h"

namespace systest {

namespace fs = std::filesystem;

namespace {
// Never asks the public address echo: the scene has no way out.
class NoEchoEnvironment : public AppEnvironment {
 public:
  NoEchoEnvironment() { assign(kIPEchoURL, ""); }
};
}  // namespace

FilterControllerSetup::FilterControllerSetup(const tsl::Scene& scene,
                                             const nlohmann::json& ruleList)
    : service_(std::make_unique<standin::OlderService>()) {
  // The loader and the filter as the application finds them; the filter's run folder is the
  // scene's, its resolver a server of the scene.
  ::setenv("TAMSEL_RUN_DIR", scene.runDir().c_str(), 1);
  ::setenv("GELMORA_EDNS_SERVER", tsl::kAskedDNS, 1);
  const fs::path bin = fs::path(scene.runDir()).parent_path() / "bin";
  Utils::setZandrelPath((bin / "zandrel").string());
  Utils::setKextPath((bin / "tamseld").string());
  Utils::setKextstatPath(TAMSELSTAT_PATH);

  if (!service_->start()) error_ = "the older-service stand-in did not start";
  TQAPIConfig::sharedInstance().setConfigValue(service_->address(), "JVXDomain");
  store_ = std::make_shared<platform::defaults::Store>(dir_.path() / "defaults.json");
  TsParamsDirectory::setStore(store_);
  AppEnvironment::setCurrentEnvironment(std::make_shared<NoEchoEnvironment>());
  MLOG().setUuid(std::nullopt);
  TsParams::resetLoginValues();
  TsParams::resetRuleLists();
  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 31}, {"package_id", 7}}}});
  const fs::path library = dir_.path() / "Resources" / "area_isp.txt";
  fs::create_directories(library.parent_path());
  TsParams::setAreaispPath(library.string());
  std::ifstream fixture(std::string(OLDER_SERVICE_FIXTURES_DIR) + "/area_isp.txt");
  std::ostringstream text;
  text << fixture.rdbuf();
  if (text.str().empty()) error_ = "no area/ISP library fixture";
  service_->putFile("/files/area_isp.txt", text.str());
  service_->setAnswer("/q5client/rule/list", ruleList);
}

FilterControllerSetup::~FilterControllerSetup() {
  service_->stop();
  TsParamsDirectory::setStore(nullptr);
  TsParams::resetRuleLists();
  ::unsetenv("GELMORA_EDNS_SERVER");
  ::unsetenv("TAMSEL_RUN_DIR");
}

}  // namespace systest
