#include "ui/Sections/Me/MeSupport.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include "gelmora/Core/TsUserController.h"
#include "ui/Kit/Alert.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"

namespace gelmora::ui {

MeAlerts qtMeAlerts() {
  MeAlerts alerts;
  alerts.confirm = [](QWidget* window, const QString& title, const QString& message,
                      std::function<void()> yes) {
    QMessageBox* box = makeAlert(window ? window->window() : nullptr, title, message);
    box->setIcon(QMessageBox::Warning);
    QPushButton* first = box->addButton(L10n::text("yes_button"), QMessageBox::AcceptRole);
    box->addButton(L10n::text("cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(first);
    QPointer<QPushButton> firstGuard(first);
    QObject::connect(box, &QMessageBox::finished, box, [box, firstGuard, yes](int) {
      if (yes && firstGuard && box->clickedButton() == firstGuard) yes();
    });
    box->open();
  };
  alerts.notice = [](const QString& title, const QString& message) {
    showAlertWithTitle(title, message);
  };
  return alerts;
}

MeAlerts withQtMeAlerts(MeAlerts alerts) {
  MeAlerts qt = qtMeAlerts();
  if (!alerts.confirm) alerts.confirm = qt.confirm;
  if (!alerts.notice) alerts.notice = qt.notice;
  return alerts;
}

void setViewTag(QWidget* view, int tag) { view->setProperty("viewTag", tag); }
int viewTag(const QWidget* view) { return view->property("viewTag").toInt(); }
void setCellTag(QWidget* view, int tag) { view->setProperty("cellTag", tag); }
int cellTag(const QWidget* view) { return view->property("cellTag").toInt(); }

QWidget* viewWithTag(const QWidget* root, int tag) {
  for (QObject* child : root->children()) {
    auto* w = qobject_cast<QWidget*>(child);
    if (!w) continue;
    if (w->property("viewTag").isValid() && viewTag(w) == tag) return w;
    if (QWidget* found = viewWithTag(w, tag)) return found;
  }
  return nullptr;
}

const JVX_USER_INFO* userInfoOf(const TsUserController& user) {
  const auto& session = user.session();
  if (!session || !session->userInfo) return nullptr;
  return &*session->userInfo;
}

std::optional<QString> qText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return QString::fromStdString(*text);
}

QLabel* makeMeLabel(QWidget* parent, const char* objectName, int pixelSize, const QColor& color) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  label->setFont(TsStyleSheet::sharedInstance().fontWithSize(pixelSize));
  label->setStyleSheet(QString("color: %1; background: transparent;").arg(color.name()));
  return label;
}

}  // namespace gelmora::ui
