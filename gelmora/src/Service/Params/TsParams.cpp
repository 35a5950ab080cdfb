#include "gelmora/Service/Params/TsParams.h"

#include <charconv>
#include <limits>
#include <mutex>

#include "gelmora/Core/AppEnvironment.h"

namespace {

constexpr const char* kDefaultLegacyHost = "q5.gelmoras.cn";

struct LoginValues {
  std::int32_t uid = 0;
  std::string nickname = "gelmoras";
  std::string expiredate = "2099-12-31 12:00:00";
  std::optional<std::string> packetId;
  nlohmann::json flowId = "0";
};

struct Settings {
  std::optional<std::string> usedDomain;  // none: the default address
  std::vector<std::string> domainList;
  std::string directoryOfResource;
  std::string areaispPath;
  std::string logoPath;
  std::int32_t progress = 0;
};

std::mutex& mu() {
  static std::mutex m;
  return m;
}
LoginValues& login() {
  static LoginValues v;
  return v;
}
Settings& settings() {
  static Settings s;
  return s;
}

// A number, or text holding a whole decimal number, within 32 bits.
std::optional<std::int32_t> int32Of(const nlohmann::json& v) {
  if (v.is_number_integer()) {
    auto n = v.get<std::int64_t>();
    if (n < std::numeric_limits<std::int32_t>::min() ||
        n > std::numeric_limits<std::int32_t>::max())
      return std::nullopt;
    return static_cast<std::int32_t>(n);
  }
  if (v.is_number_unsigned()) {
    auto n = v.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
      return std::nullopt;
    return static_cast<std::int32_t>(n);
  }
  if (v.is_string()) {
    const auto& s = v.get_ref<const std::string&>();
    std::int32_t n = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return n;
  }
  return std::nullopt;
}

// Text as it is, whole numbers as decimal text.
std::optional<std::string> textOf(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer() || v.is_number_unsigned()) return v.dump();
  return std::nullopt;
}

}  // namespace

std::string TsParams::legacyServiceHost() {
  if (auto env = AppEnvironment::currentEnvironment()) {
    std::string host = env->setting("LegacyServiceHost");
    if (!host.empty()) return host;
  }
  return kDefaultLegacyHost;
}

void TsParams::updateWithLoginReturnObject(const nlohmann::json& reply) {
  if (!reply.is_object()) return;
  auto data = reply.find("data");
  if (data == reply.end() || !data->is_object()) return;
  std::lock_guard lock(mu());
  auto& v = login();
  if (auto it = data->find("username"); it != data->end()) {
    if (auto t = textOf(*it)) v.nickname = *t;
  }
  if (auto it = data->find("expire_date"); it != data->end()) {
    if (auto t = textOf(*it)) v.expiredate = *t;
  }
  if (auto it = data->find("uid"); it != data->end()) {
    if (auto n = int32Of(*it)) v.uid = *n;
  }
  if (auto it = data->find("package_id"); it != data->end()) {
    if (auto t = textOf(*it)) v.packetId = "package_id" + *t;
  }
}

std::int32_t TsParams::getUid() {
  std::lock_guard lock(mu());
  return login().uid;
}
std::string TsParams::getNickname() {
  std::lock_guard lock(mu());
  return login().nickname;
}
std::string TsParams::getExpiredate() {
  std::lock_guard lock(mu());
  return login().expiredate;
}
std::optional<std::string> TsParams::getPacketId() {
  std::lock_guard lock(mu());
  return login().packetId;
}
std::string TsParams::getFlowId() {
  std::lock_guard lock(mu());
  const auto& f = login().flowId;
  if (f.is_string()) return f.get<std::string>();
  if (f.is_null()) return {};
  return f.dump();
}
void TsParams::setFlowId(const nlohmann::json& flowId) {
  std::lock_guard lock(mu());
  login().flowId = flowId;
}

std::string TsParams::getUseddomain() {
  std::lock_guard lock(mu());
  if (settings().usedDomain) return *settings().usedDomain;
  return "http://" + legacyServiceHost();
}
void TsParams::setUseddomain(std::string domain) {
  std::lock_guard lock(mu());
  settings().usedDomain = std::move(domain);
}
std::vector<std::string> TsParams::getDomainList() {
  std::lock_guard lock(mu());
  return settings().domainList;
}
void TsParams::setDomainList(std::vector<std::string> list) {
  std::lock_guard lock(mu());
  settings().domainList = std::move(list);
}
std::string TsParams::getDirectoryOfResource() {
  std::lock_guard lock(mu());
  return settings().directoryOfResource;
}
void TsParams::setDirectoryOfResource(std::string path) {
  std::lock_guard lock(mu());
  settings().directoryOfResource = std::move(path);
}
std::string TsParams::getAreaispPath() {
  std::lock_guard lock(mu());
  return settings().areaispPath;
}
void TsParams::setAreaispPath(std::string path) {
  std::lock_guard lock(mu());
  settings().areaispPath = std::move(path);
}
std::string TsParams::getLogoPath() {
  std::lock_guard lock(mu());
  return settings().logoPath;
}
void TsParams::setLogoPath(std::string path) {
  std::lock_guard lock(mu());
  settings().logoPath = std::move(path);
}
std::int32_t TsParams::getProgressBar() {
  std::lock_guard lock(mu());
  return settings().progress;
}
void TsParams::setProgressBar(std::int32_t percent) {
  std::lock_guard lock(mu());
  settings().progress = percent;
}

void TsParams::resetLoginValues() {
  std::lock_guard lock(mu());
  login() = LoginValues{};
  settings() = Settings{};
}
