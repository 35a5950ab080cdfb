#include "ui/Application/ScreenRegistry.h"

namespace gelmora::ui {

ScreenRegistry& ScreenRegistry::shared() {
  static ScreenRegistry* registry = new ScreenRegistry;  // kept for the whole run
  return *registry;
}

void registerScreens(ScreenRegistry& registry) {
  // The screens join here as they are built.
  (void)registry;
}

}  // namespace gelmora::ui
