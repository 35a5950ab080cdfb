#include "ui/Kit/Alert.h"

#include <QMessageBox>
#include <QPushButton>

#include "ui/Application/Windows.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"

namespace gelmora::ui {

QMessageBox* makeAlert(QWidget* window, const QString& title, const QString& message) {
  auto* box = new QMessageBox(window);
  box->setText(title);
  if (!message.isEmpty()) box->setInformativeText(message);
  const QPixmap icon = Images::named("ic_error");
  if (!icon.isNull()) {
    box->setIconPixmap(icon.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  return box;
}

QMessageBox* makeButtonsAlert(QWidget* window, const QString& title, const QString& message,
                              const QStringList& buttons) {
  QMessageBox* box = makeAlert(window, title, message);
  for (int i = 0; i < buttons.size(); ++i) {
    // Action roles keep the buttons in the order given.
    QPushButton* b = box->addButton(buttons[i], QMessageBox::ActionRole);
    b->setProperty("gelmoraResponse", 1000 + i);
    if (i == 0) box->setDefaultButton(b);
  }
  return box;
}

long responseOf(const QMessageBox* box) {
  const QAbstractButton* chosen = box->clickedButton();
  const QVariant r = chosen ? chosen->property("gelmoraResponse") : QVariant();
  return r.isValid() ? r.toInt() : 1000 + static_cast<long>(box->buttons().size());
}

void showAlertWithTitle(const QString& title, const QString& message,
                        const std::function<void()>& confirm) {
  if (!confirm) {
    // Without an active window the alert goes to the main window rather than nowhere.
    QWidget* window = keyWindow();
    if (!window) window = mainWindow();
    QMessageBox* box = makeAlert(window, title, message);
    box->setStandardButtons(QMessageBox::Ok);
    box->open();
    return;
  }
  QMessageBox* box = makeAlert(nullptr, title, message);
  box->setAttribute(Qt::WA_DeleteOnClose, false);
  box->setIcon(QMessageBox::Warning);
  const QPixmap icon = Images::named("ic_error");
  if (!icon.isNull()) {
    box->setIconPixmap(icon.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  QPushButton* yes = box->addButton(L10n::text("yes_button"), QMessageBox::AcceptRole);
  box->addButton(L10n::text("cancel"), QMessageBox::RejectRole);
  box->setDefaultButton(yes);
  box->exec();
  const bool confirmed = box->clickedButton() == yes;
  delete box;
  if (confirmed) confirm();
}

}  // namespace gelmora::ui
