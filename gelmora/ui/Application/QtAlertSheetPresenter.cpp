#include "ui/Application/QtAlertSheetPresenter.h"

#include <QMessageBox>
#include <QPushButton>

#include "ui/Application/Windows.h"
#include "ui/Kit/Alert.h"
#include "ui/Kit/L10n.h"

namespace gelmora::ui {

namespace {
QString textOf(const std::optional<std::string>& s) {
  return s ? QString::fromStdString(*s) : QString();
}
QStringList titlesOf(const std::vector<std::string>& buttons) {
  QStringList out;
  for (const auto& b : buttons) out << QString::fromStdString(b);
  return out;
}
}  // namespace

QWidget* QtAlertSheetPresenter::rootWindow() const {
  return rootWindow_ ? rootWindow_.data() : mainWindow();
}

void QtAlertSheetPresenter::showErrorSheet(std::optional<std::string> messageText,
                                           std::optional<std::string> informativeText) {
  QWidget* window = keyWindow();
  if (!window) window = mainWindow();
  QMessageBox* box = makeAlert(window, textOf(messageText), textOf(informativeText));
  box->setStandardButtons(QMessageBox::Ok);
  box->open();
}

void QtAlertSheetPresenter::showSheet(std::optional<std::string> messageText,
                                      std::optional<std::string> informativeText, Completion done) {
  QMessageBox* box = makeAlert(rootWindow(), textOf(messageText), textOf(informativeText));
  box->setIcon(QMessageBox::NoIcon);
  box->setStandardButtons(QMessageBox::Ok);
  // The one button is the first, response 1000.
  QObject::connect(box, &QMessageBox::finished, box, [done](int) {
    if (done) done(1000);
  });
  box->open();
}

void QtAlertSheetPresenter::showButtonsSheet(std::optional<std::string> messageText,
                                             std::optional<std::string> informativeText,
                                             std::vector<std::string> buttons, Completion done) {
  QMessageBox* box = makeButtonsAlert(rootWindow(), textOf(messageText), textOf(informativeText),
                                      titlesOf(buttons));
  QObject::connect(box, &QMessageBox::finished, box, [box, done](int) {
    if (done) done(responseOf(box));
  });
  box->open();
}

long QtAlertSheetPresenter::runModalAlert(std::optional<std::string> messageText,
                                          std::optional<std::string> informativeText,
                                          std::vector<std::string> buttons) {
  QMessageBox* box =
      makeButtonsAlert(nullptr, textOf(messageText), textOf(informativeText), titlesOf(buttons));
  box->setAttribute(Qt::WA_DeleteOnClose, false);
  box->exec();
  const long response = responseOf(box);
  delete box;
  return response;
}

AlertSheetPresenter::WindowAlert QtAlertSheetPresenter::keyWindowAlert() {
  QWidget* now = keyWindow();
  QPointer<QWidget> taken = now ? now : mainWindow();
  return [taken](const std::string& informativeText) {
    QWidget* window = taken ? taken.data() : mainWindow();
    QMessageBox* box = makeAlert(window, QString(), QString::fromStdString(informativeText));
    box->setIcon(QMessageBox::Warning);
    box->addButton(L10n::text(kYesButtonKey), QMessageBox::AcceptRole);
    box->open();
  };
}

}  // namespace gelmora::ui
