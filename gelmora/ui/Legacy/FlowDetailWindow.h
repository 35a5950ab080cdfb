#pragma once
// The traffic detail windows: FlowDetailA (last, this and extra traffic) and FlowDetailB (last
// traffic only), filled once at opening from the stored "flow_detail" dictionary.
#include <QLabel>
#include <QProgressBar>
#include <QWidget>

namespace gelmora::ui {

class FlowDetailWindow : public QWidget {
  Q_OBJECT
 public:
  // Fills the outlets from the stored value (nothing when none is stored or it is no object).
  void windowDidLoad();

 protected:
  FlowDetailWindow(int kinds, const char* name, QWidget* parent);

 private:
  int kinds_;
};

class FlowDetailA : public FlowDetailWindow {
  Q_OBJECT
 public:
  explicit FlowDetailA(QWidget* parent = nullptr);
};

class FlowDetailB : public FlowDetailWindow {
  Q_OBJECT
 public:
  explicit FlowDetailB(QWidget* parent = nullptr);
};

}  // namespace gelmora::ui
