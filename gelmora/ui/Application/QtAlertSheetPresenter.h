#pragma once
// Sheets of the start-up container and the acceleration controller, as Qt message boxes that are
// modal to their window.
#include <QPointer>
#include <QWidget>

#include "gelmora/Application/AlertSheetPresenter.h"

namespace gelmora::ui {

class QtAlertSheetPresenter : public AlertSheetPresenter {
 public:
  // `rootWindow`: the window of the root view (none: the main window at the time of each sheet).
  explicit QtAlertSheetPresenter(QWidget* rootWindow = nullptr) : rootWindow_(rootWindow) {}

  void showErrorSheet(std::optional<std::string> messageText,
                      std::optional<std::string> informativeText) override;
  void showSheet(std::optional<std::string> messageText, std::optional<std::string> informativeText,
                 Completion done) override;
  void showButtonsSheet(std::optional<std::string> messageText,
                        std::optional<std::string> informativeText,
                        std::vector<std::string> buttons, Completion done) override;
  long runModalAlert(std::optional<std::string> messageText,
                     std::optional<std::string> informativeText,
                     std::vector<std::string> buttons) override;
  // Takes the active window now (the main window when none is); the alert goes there later, or
  // to the main window when that window is gone by then.
  WindowAlert keyWindowAlert() override;

 private:
  QWidget* rootWindow() const;
  QPointer<QWidget> rootWindow_;
};

}  // namespace gelmora::ui
