#pragma once
// Alert sheets of the older windows: window-modal message boxes with a message, an informative
// text and the buttons given. Responses: first button 1, second 0, third -1 (the platform's
// default, alternate, other); an informational sheet answers 1000 and 1001. Tests record them.
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <vector>

namespace gelmora::ui {

struct LegacySheet {
  QString message;
  QString info;
  QStringList buttons;  // "确定" when empty
  bool informational = false;
  std::function<void(long response)> done;  // may be empty

  // The response of the button at `index`.
  long responseOf(int index) const;
};

class LegacySheets {
 public:
  virtual ~LegacySheets() = default;
  virtual void show(QWidget* window, LegacySheet sheet) = 0;
  // The Qt one (QMessageBox, window-modal).
  static LegacySheets& qt();
};

class RecordingLegacySheets : public LegacySheets {
 public:
  struct Shown {
    QPointer<QWidget> window;
    LegacySheet sheet;
    bool answered = false;
  };
  void show(QWidget* window, LegacySheet sheet) override {
    shown.push_back({window, std::move(sheet), false});
  }
  // Presses button `index` of sheet `i`.
  void answer(size_t i, int index = 0) {
    if (i >= shown.size() || shown[i].answered) return;
    shown[i].answered = true;
    auto sheet = shown[i].sheet;
    if (sheet.done) sheet.done(sheet.responseOf(index));
  }
  std::vector<Shown> shown;
};

}  // namespace gelmora::ui
