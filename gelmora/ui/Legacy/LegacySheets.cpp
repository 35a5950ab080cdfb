#include "ui/Legacy/LegacySheets.h"

#include <QMessageBox>
#include <QPushButton>

namespace gelmora::ui {

long LegacySheet::responseOf(int index) const {
  if (informational) return 1000 + index;
  if (index == 0) return 1;
  if (index == 1) return 0;
  return -1;
}

namespace {

class QtLegacySheets : public LegacySheets {
 public:
  void show(QWidget* window, LegacySheet sheet) override {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    // A light sheet whatever the dark window around it says.
    box->setStyleSheet(
        "QMessageBox { background: #f4f5f9; }"
        "QLabel { color: #1f2233; font-size: 13px; }"
        "QPushButton { color: #ffffff; background: #3d8bfd; border: none; border-radius: 6px;"
        " padding: 6px 16px; }");
    box->setIcon(sheet.informational ? QMessageBox::Information : QMessageBox::NoIcon);
    box->setText(sheet.message);
    box->setInformativeText(sheet.info);
    if (sheet.buttons.isEmpty()) sheet.buttons << QStringLiteral("确定");
    std::vector<QAbstractButton*> buttons;
    for (int i = 0; i < sheet.buttons.size(); ++i) {
      auto role = i == 0 ? QMessageBox::AcceptRole
                         : (i == 1 ? QMessageBox::RejectRole : QMessageBox::DestructiveRole);
      buttons.push_back(box->addButton(sheet.buttons[i], role));
    }
    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, sheet](int) {
      int index = 0;
      for (size_t i = 0; i < buttons.size(); ++i) {
        if (box->clickedButton() == buttons[i]) index = static_cast<int>(i);
      }
      if (sheet.done) sheet.done(sheet.responseOf(index));
    });
    box->open();
  }
};

}  // namespace

LegacySheets& LegacySheets::qt() {
  static QtLegacySheets* s = new QtLegacySheets;
  return *s;
}

}  // namespace gelmora::ui
