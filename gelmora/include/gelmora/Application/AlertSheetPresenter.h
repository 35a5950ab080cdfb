#pragma once
// Sheets of the application's windows, as the start-up container shows them. The Qt application
// implements it; tests record the calls. A text that is none is left out of the sheet.
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

  // A sheet with the given button titles (the first is the default) on the root view's window;
  // `done` receives 1000 for the first button, 1001 for the second and so on. A presenter
  // without such sheets falls back to showSheet.
  virtual void showButtonsSheet(std::optional<std::string> messageText,
                                std::optional<std::string> informativeText,
                                std::vector<std::string> buttons, Completion done) {
    (void)buttons;
    showSheet(std::move(messageText), std::move(informativeText), std::move(done));
  }
  // An application-modal alert with the given button titles; returns once answered, with the
  // response of the chosen button (1000 for the first). Main thread.
  virtual long runModalAlert(std::optional<std::string> messageText,
                             std::optional<std::string> informativeText,
                             std::vector<std::string> buttons) {
    (void)buttons;
    showSheet(std::move(messageText), std::move(informativeText), {});
    return 1000;
  }

  // Title key of the one button of an acceleration alert.
  static constexpr const char* kYesButtonKey = "yes_button";
  using WindowAlert = std::function<void(const std::string& informativeText)>;
  // Takes the window that is key now and answers a call that shows, as a sheet on that window, a
  // standard alert with an empty message, one button titled by "yes_button" and the given
  // informative text; closing it does nothing more. The call may come later, from the main
  // queue. A presenter without windows falls back to showSheet.
  virtual WindowAlert keyWindowAlert() {
    return [this](const std::string& informativeText) {
      showSheet(std::string(), informativeText, {});
    };
  }
};
