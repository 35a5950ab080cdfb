#pragma once
// The process-wide store of the kernel-extension mode: values taken from the login reply and
// the settings of the older service layer. Class operations only, behind one mutex.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "gelmora/Service/Params/AreaispItem.h"

class TsParams {
 public:
  // The older service host: the brand's setting "LegacyServiceHost" when it has one.
  static std::string legacyServiceHost();

  // Takes "username", "expire_date", "uid" and "package_id" from the reply's "data" object;
  // fields that are missing or of an unusable kind leave their value as it was.
  static void updateWithLoginReturnObject(const nlohmann::json& reply);

  static std::int32_t getUid();
  static std::string getNickname();
  static std::string getExpiredate();
  // "package_id<id>", none before a login reply named a package.
  static std::optional<std::string> getPacketId();
  // The flow id as text ("0" until a rule list names one).
  static std::string getFlowId();
  static void setFlowId(const nlohmann::json& flowId);

  static std::string getUseddomain();
  static void setUseddomain(std::string domain);
  static std::vector<std::string> getDomainList();
  static void setDomainList(std::vector<std::string> list);
  static std::string getDirectoryOfResource();
  static void setDirectoryOfResource(std::string path);
  static std::string getAreaispPath();
  static void setAreaispPath(std::string path);
  static std::string getLogoPath();
  static void setLogoPath(std::string path);
  static std::int32_t getProgressBar();
  static void setProgressBar(std::int32_t percent);

  // The area and ISP table: replaced by the file's items (empty when it cannot be read).
  static void updateAreaispListWithFile(const std::string& path);
  // Ranges of the items with both ids equal, in table order.
  static std::vector<std::string> getIPListFromAreaisp(std::int32_t area, std::int32_t isp);
  static std::vector<AreaispItem> getAreaispList();
  // Takes "file" and "sha1" (texts) from the reply's "data".
  static void updateWithAreaispReturnObject(const nlohmann::json& reply);
  static std::optional<std::string> getAreaispDownloadAddress();
  static std::optional<std::string> getAreaispSha1();

  // Back to the initial values (tests).
  static void resetLoginValues();
};
