#pragma once
// Alerts that any part of the application may show: a title, an optional message, the error icon.
#include <QString>
#include <QStringList>
#include <functional>

class QMessageBox;
class QWidget;

namespace gelmora::ui {

// Without `confirm`: a sheet with the one default button on the key window (the main window when
// no window is active) and returns at once. With `confirm`: "yes_button" and "cancel", run
// application-modal; returns once answered, after running `confirm` when "yes_button" was chosen.
void showAlertWithTitle(const QString& title, const QString& message,
                        const std::function<void()>& confirm = {});

// A message box with the error icon: `title` as its text, `message` as its informative text when
// not empty. Window-modal on `window` when given.
QMessageBox* makeAlert(QWidget* window, const QString& title, const QString& message);

// An alert with the error icon and the given buttons, the first the default; window-modal on
// `window` when given. responseOf() tells which was chosen.
QMessageBox* makeButtonsAlert(QWidget* window, const QString& title, const QString& message,
                              const QStringList& buttons);
// 1000 for the first button of a makeButtonsAlert alert, 1001 for the second, ...; 1000 + the
// number of buttons when none was chosen (closed with Escape).
long responseOf(const QMessageBox* box);

}  // namespace gelmora::ui
