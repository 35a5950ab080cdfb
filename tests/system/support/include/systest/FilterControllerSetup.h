// What the filter-mode acceleration controller needs around it inside the filter suite's scene,
// as the application would have it: the scene's zandrel and tamseld with the scene's run folder
// and resolver, the older-service stand-in answering the rule list and serving the area/ISP
// library, the login values of a signed-in user, defaults in a private folder, no public address
// echo. Made inside the scene's client namespace before any client thread exists; everything it
// set is undone at destruction. The controller itself is the caller's, and ends first.
#pragma once

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Scene.h"
#include "systest/Systest.h"

namespace platform::defaults {
class Store;
}
namespace standin {
class OlderService;
}

namespace systest {

class FilterControllerSetup {
 public:
  // `ruleList`: the older service's answer to "/q5client/rule/list".
  FilterControllerSetup(const tsl::Scene& scene, const nlohmann::json& ruleList);
  ~FilterControllerSetup();
  FilterControllerSetup(const FilterControllerSetup&) = delete;
  FilterControllerSetup& operator=(const FilterControllerSetup&) = delete;

  // Empty when everything stands, else what failed.
  const std::string& error() const { return error_; }
  // The older service, which the line service domain (JVXDomain) points at.
  standin::OlderService& service() { return *service_; }
  // The defaults store of the run (also the older layer's).
  const std::shared_ptr<platform::defaults::Store>& store() const { return store_; }
  const std::filesystem::path& folder() const { return dir_.path(); }

 private:
  TempDir dir_{"filter-controller"};
  std::unique_ptr<standin::OlderService> service_;
  std::shared_ptr<platform::defaults::Store> store_;
  std::string error_;
};

}  // namespace systest
