#include "gelmora/Core/BHAppPackage.h"

#include "gelmora/version.h"

BHAppPackage& BHAppPackage::sharedInstance() {
  // A function-local static is built once, thread-safely, whenever it is first asked for, also
  // from another translation unit's static initialiser.
  static BHAppPackage instance;
  return instance;
}

std::optional<std::string> BHAppPackage::language() const {
  std::lock_guard lock(mutex_);
  return language_;
}

void BHAppPackage::setLanguage(std::optional<std::string> language) {
  std::lock_guard lock(mutex_);
  language_ = std::move(language);
}

std::string BHAppPackage::version() const { return gelmora::kShortVersion; }

std::string BHAppPackage::buildVersion() const { return gelmora::kBuildVersion; }
