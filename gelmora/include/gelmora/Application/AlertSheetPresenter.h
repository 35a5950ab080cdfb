#pragma once
// Sheets of the application's windows, as the start-up container shows them. The Qt application
// implements it; tests record the calls. A text that is none is left out of the sheet.
#include <functional>
#include <optional>
#include <string>

class AlertSheetPresenter {
 public:
  // The button the user chose (first button 1000, as the platform numbers them).
  using Completion = std::function<void(long response)>;

  virtual ~AlertSheetPresenter() = default;
  // An error sheet with the icon "ic_error" on the key window; nobody waits for it.
  virtual void showErrorSheet(std::optional<std::string> messageText,
                              std::optional<std::string> informativeText) = 0;
  // A sheet on the root view's window; `done` (may be empty) receives the response.
  virtual void showSheet(std::optional<std::string> messageText,
                         std::optional<std::string> informativeText, Completion done) = 0;
};
