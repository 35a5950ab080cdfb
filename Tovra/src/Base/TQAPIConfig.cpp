#include "Tovra/Base/TQAPIConfig.h"

#include <platform/keychain/Keychain.h>
#include <uuid/uuid.h>

#include <cctype>

#include "TQNotify.h"
#include "Tovra/Base/TQConstants.h"
#include "Tovra/Base/TQLogger.h"

namespace {
constexpr const char* kIdentifyAccount = "userIdentify";
constexpr const char* kAppService = "TsAPI";
constexpr const char* kLibraryService = "TQAPI";

std::string newUUID() {
  uuid_t raw;
  uuid_generate_random(raw);
  char text[37];
  uuid_unparse_upper(raw, text);
  return text;
}
}  // namespace

TQAPIConfig& TQAPIConfig::sharedInstance() {
  static TQAPIConfig instance;
  return instance;
}

void TQAPIConfig::setConfigValue(std::optional<std::string> value, const std::string& key) {
  if (value) {
    context_[key] = std::move(*value);
  } else {
    context_.erase(key);
  }
}

std::optional<std::string> TQAPIConfig::configValueForKey(const std::string& key) const {
  auto it = context_.find(key);
  if (it == context_.end()) return std::nullopt;
  return it->second;
}

void TQAPIConfig::setGlobalHeaderBuilder(HeaderBuilder builder) {
  globalHeaderBuilder_ = std::move(builder);
  if (globalHeaderBuilder_) globalHeaderBuilder_(globalHeaders_);
  tq::detail::postNotification(TQAPIConfigGlobalHeaderChanged);
}

void TQAPIConfig::setGlobalHeaderValue(std::optional<std::string> value, const std::string& key) {
  if (key.empty()) return;
  if (value) {
    globalHeaders_[key] = std::move(*value);
  } else {
    globalHeaders_.erase(key);
  }
  tq::detail::postNotification(TQAPIConfigGlobalHeaderChanged);
}

std::string TQAPIConfig::userIdentify() {
  if (auto v = platform::keychain::password(kAppService, kIdentifyAccount)) return *v;
  if (auto v = platform::keychain::password(kLibraryService, kIdentifyAccount)) return *v;
  std::lock_guard<std::mutex> lock(identifyMutex_);
  if (unsavedIdentify_) return *unsavedIdentify_;
  std::string id = newUUID();
  if (!platform::keychain::setPassword(id, kLibraryService, kIdentifyAccount)) {
    // Without this the identifier would change on every read.
    tq::logWarn("userIdentify: cannot store the device identifier; keeping it for this run");
    unsavedIdentify_ = id;
  }
  return id;
}

void TQAPIConfig::reset() {
  context_.clear();
  globalHeaders_.clear();
  globalHeaderBuilder_ = nullptr;
  globalSuccessHandler_ = nullptr;
  globalFailedHandler_ = nullptr;
  useSSL_ = false;
  timeoutInterval_ = 60.0f;
  std::lock_guard<std::mutex> lock(identifyMutex_);
  unsavedIdentify_.reset();
}
