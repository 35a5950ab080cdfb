#include "ui/Application/ScreenRegistry.h"

#include "ui/Legacy/LegacyWindows.h"
#include "ui/Legacy/updateWindow.h"
#include "ui/Sections/Accelerate/TsAccelerateViewController.h"
#include "ui/Sections/Login-Oxla/OXLoginViewController.h"

namespace gelmora::ui {

ScreenRegistry& ScreenRegistry::shared() {
  // Filled with every screen of the build on first use; kept for the whole run.
  static ScreenRegistry* registry = [] {
    auto* r = new ScreenRegistry;
    registerScreens(*r);
    return r;
  }();
  return *registry;
}

void registerScreens(ScreenRegistry& registry) {
  // The screens join here as they are built.
  registerAccelerationScreen(registry);
  registerLoginScreen(registry);
  registerOlderWindows(registry);
  registerUpdateWindow(registry);
}

}  // namespace gelmora::ui
