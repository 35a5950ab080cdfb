#pragma once
// What the older windows share: the older service layer, sheets, addresses, clipboard, quitting,
// the registry that opens the next window, the clock of their timers and the brand's values.
// A default-made context is the production wiring.
#include <cstdint>
#include <functional>
#include <string>

#include "gelmora/Application/Clipboard.h"
#include "gelmora/Application/ProcessControl.h"
#include "gelmora/Application/UrlOpener.h"
#include "gelmora/Legacy/LegacyServices.h"
#include "platform/dispatch/Clock.h"

namespace gelmora::ui {

class LegacySheets;
class ScreenRegistry;

struct LegacyContext {
  LegacyServices* services = nullptr;     // production when none
  LegacySheets* sheets = nullptr;         // Qt sheets when none
  UrlOpener* urls = nullptr;              // the application's opener when none
  Clipboard* clipboard = nullptr;         // the application's clipboard when none
  ProcessControl* process = nullptr;      // ends the process when none
  ScreenRegistry* screens = nullptr;      // the shared registry when none
  platform::dispatch::ClockPtr clock;     // the default clock when none
  std::function<std::uint32_t()> random;  // the system's random source when empty

  // Brand settings (AppEnvironment) read at use.
  static std::string fallbackHost(int which);  // 1 or 2
  static std::string supportChatURL();
  static std::string topupBase();

  // The same context with every empty member filled with the production one.
  LegacyContext resolved() const;
};

}  // namespace gelmora::ui
