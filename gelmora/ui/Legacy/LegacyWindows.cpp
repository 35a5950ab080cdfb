#include "ui/Legacy/LegacyWindows.h"

#include "ui/Application/ScreenRegistry.h"
#include "ui/Legacy/FlowDetailWindow.h"
#include "ui/Legacy/LoginWindow.h"
#include "ui/Legacy/MainWindow.h"
#include "ui/Legacy/WelcomeWindow.h"

namespace gelmora::ui {

void registerOlderWindows(ScreenRegistry& registry) {
  registry.olderWelcome.set(
      [](const LegacyContext& c) -> QWidget* { return new WelcomeWindow(c); });
  registry.olderLogin.set([](const LegacyContext& c) -> QWidget* { return new LoginWindow(c); });
  registry.olderMain.set([](const LegacyContext& c) -> QWidget* { return new MainWindow(c); });
  registry.olderFlowDetailA.set([](const LegacyContext&) -> QWidget* { return new FlowDetailA; });
  registry.olderFlowDetailB.set([](const LegacyContext&) -> QWidget* { return new FlowDetailB; });
}

}  // namespace gelmora::ui
