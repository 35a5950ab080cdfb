#include "ui/Legacy/FlowDetailWindow.h"

#include <QGridLayout>
#include <QVBoxLayout>

#include "gelmora/Legacy/FlowDetailFormatter.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"

namespace gelmora::ui {

namespace {
// Outlet names per kind, as the layout files name them (the used label of "last" is spelt
// "Trffic").
struct KindNames {
  const char* title;
  const char* progress;
  const char* unit;
  const char* last;
  const char* used;
};
const KindNames kNames[3] = {
    {"上期流量", "progressLastTraffic", "labelLastUnit", "labelLastTrafficLast",
     "labelLastTrfficUsed"},
    {"本期流量", "progressThisTraffic", "labelThisUnit", "labelThisTrafficLast",
     "labelThisTrafficUsed"},
    {"额外流量", "progressExtraTraffic", "labelExtraUnit", "labelExtraTrafficLast",
     "labelExtraTrafficUsed"},
};
}  // namespace

FlowDetailWindow::FlowDetailWindow(int kinds, const char* name, QWidget* parent)
    : QWidget(parent, Qt::Window), kinds_(kinds) {
  setObjectName(name);
  setWindowTitle(QStringLiteral("流量详情"));
  setStyleSheet(
      "QWidget#FlowDetailA, QWidget#FlowDetailB { background: #1f2233; }"
      "QLabel { color: #e8eaf2; font-size: 13px; }"
      "QLabel[role=\"title\"] { font-size: 15px; font-weight: bold; color: #ffffff; }"
      "QProgressBar { border: 1px solid #3b4160; border-radius: 5px; background: #2a2e44;"
      " height: 12px; text-align: center; color: transparent; }"
      "QProgressBar::chunk { background: #3d8bfd; border-radius: 4px; }");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 20, 24, 20);
  layout->setSpacing(10);
  for (int i = 0; i < kinds; ++i) {
    auto* title = new QLabel(QString::fromUtf8(kNames[i].title), this);
    title->setProperty("role", "title");
    layout->addWidget(title);
    auto* row = new QGridLayout;
    auto* bar = new QProgressBar(this);
    bar->setObjectName(kNames[i].progress);
    bar->setRange(0, 1);
    bar->setValue(0);
    bar->setTextVisible(false);
    row->addWidget(bar, 0, 0, 1, 3);
    auto* unit = new QLabel(this);
    unit->setObjectName(kNames[i].unit);
    auto* last = new QLabel(this);
    last->setObjectName(kNames[i].last);
    auto* used = new QLabel(this);
    used->setObjectName(kNames[i].used);
    row->addWidget(used, 1, 0);
    row->addWidget(last, 1, 1);
    row->addWidget(unit, 1, 2, Qt::AlignRight);
    layout->addLayout(row);
  }
  auto* message = new QLabel(this);
  message->setObjectName("labelErrorMessage");
  message->setWordWrap(true);
  layout->addWidget(message);
  layout->addStretch();
  resize(420, kinds == 3 ? 320 : 170);
}

void FlowDetailWindow::windowDidLoad() {
  auto stored = TsParamsDirectory::getNSDictionaryValue("flow_detail");
  std::string line;
  auto detail = FlowDetail::fromStored(stored, &line);
  if (!line.empty()) LOG::console(line);
  if (!detail) return;
  const QString unit = QString::fromStdString(detail->unit);
  for (int i = 0; i < kinds_; ++i) {
    const FlowDetailKind& k = detail->kinds[i];
    auto* bar = findChild<QProgressBar*>(kNames[i].progress);
    bar->setRange(0, k.barMaximum);
    bar->setValue(k.barValue);
    findChild<QLabel*>(kNames[i].last)->setText(QString::fromStdString(k.remaining));
    findChild<QLabel*>(kNames[i].used)->setText(QString::fromStdString(k.usedText));
    findChild<QLabel*>(kNames[i].unit)->setText(unit);
  }
  findChild<QLabel*>("labelErrorMessage")->setText(QString::fromStdString(detail->message));
}

FlowDetailA::FlowDetailA(QWidget* parent) : FlowDetailWindow(3, "FlowDetailA", parent) {
  windowDidLoad();
}

FlowDetailB::FlowDetailB(QWidget* parent) : FlowDetailWindow(1, "FlowDetailB", parent) {
  windowDidLoad();
}

}  // namespace gelmora::ui
