#include "ui/Legacy/LegacyContext.h"

#include <random>

#include "gelmora/Core/AppEnvironment.h"
#include "ui/Application/Collaborators.h"
#include "ui/Application/QtProcessControl.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Legacy/LegacySheets.h"

namespace gelmora::ui {

namespace {
std::string setting(const char* name) {
  auto env = AppEnvironment::currentEnvironment();
  return env ? env->setting(name) : std::string();
}
}  // namespace

std::string LegacyContext::fallbackHost(int which) {
  return setting(which == 1 ? AppEnvironment::kLegacyFallbackHost1
                            : AppEnvironment::kLegacyFallbackHost2);
}
std::string LegacyContext::supportChatURL() {
  return setting(AppEnvironment::kLegacySupportChatURL);
}
std::string LegacyContext::topupBase() { return setting(AppEnvironment::kLegacyTopupBase); }

LegacyContext LegacyContext::resolved() const {
  LegacyContext c = *this;
  if (!c.services) c.services = &LegacyServices::production();
  if (!c.sheets) c.sheets = &LegacySheets::qt();
  if (!c.urls) c.urls = &gelmora::ui::urlOpener();
  if (!c.clipboard) c.clipboard = &gelmora::ui::clipboard();
  if (!c.process) {
    static QtProcessControl* control = new QtProcessControl;
    c.process = control;
  }
  if (!c.screens) c.screens = &ScreenRegistry::shared();
  if (!c.clock) c.clock = platform::dispatch::defaultClock();
  if (!c.random) {
    c.random = [] {
      static std::random_device device;
      return static_cast<std::uint32_t>(device());
    };
  }
  return c;
}

}  // namespace gelmora::ui
