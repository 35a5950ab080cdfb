#include "gelmora/Service/Params/TsParamsDirectory.h"

#include <mutex>

#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Shared/Tessaryn.h"

namespace {

std::mutex& storeMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<platform::defaults::Store>& replaced() {
  static std::shared_ptr<platform::defaults::Store> s;
  return s;
}

}  // namespace

void TsParamsDirectory::setStore(std::shared_ptr<platform::defaults::Store> s) {
  std::lock_guard lock(storeMutex());
  replaced() = std::move(s);
}

std::shared_ptr<platform::defaults::Store> TsParamsDirectory::store() {
  {
    std::lock_guard lock(storeMutex());
    if (replaced()) return replaced();
  }
  // The shared defaults accessor lives for the whole run; hand it out without ownership.
  return std::shared_ptr<platform::defaults::Store>(&AppUserDefaults::sharedInstance().store(),
                                                    [](platform::defaults::Store*) {});
}

void TsParamsDirectory::setValue(std::string_view key, const Value& value) {
  store()->set(key, value);  // written through at once
}

std::optional<TsParamsDirectory::Value> TsParamsDirectory::getValue(std::string_view key) {
  if (auto v = store()->get(key)) return v;
  return getDefaultValue(key);
}

std::optional<TsParamsDirectory::Value> TsParamsDirectory::getDefaultValue(std::string_view key) {
  if (key == "country_code") return Value(std::string("+86"));
  if (key == "used_domain") return Value(TsParams::legacyServiceHost());
  if (key == "login_token" || key == "phone") return Value(std::string());
  return std::nullopt;
}

void TsParamsDirectory::setNSDictionaryValue(std::string_view key,
                                             const nlohmann::json& dictionary) {
  std::string text = dictionary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  store()->set(key, platform::defaults::Bytes(text.begin(), text.end()));
}

std::optional<nlohmann::json> TsParamsDirectory::getNSDictionaryValue(std::string_view key) {
  auto bytes = store()->bytesValue(key);
  if (!bytes) return std::nullopt;
  std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  return Tessaryn::jsonDecode(text);
}
