#pragma once
// Registers the older window generation's windows (welcome, login, main, traffic details) with
// the screen registry. The older web windows are registered by the application part.
namespace gelmora::ui {
class ScreenRegistry;
void registerOlderWindows(ScreenRegistry& registry);
}  // namespace gelmora::ui
