// The older windows' hover button: border only while the pointer is over it, while active.
#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QGuiApplication>

#include "UiTestSupport.h"
#include "ui/Legacy/BYOButton.h"

namespace gelmora::ui::test {
namespace {

void enter(QWidget* w) {
  QEnterEvent e(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
  QCoreApplication::sendEvent(w, &e);
}
void leave(QWidget* w) {
  QEvent e(QEvent::Leave);
  QCoreApplication::sendEvent(w, &e);
}

TEST(HoverButton, BorderFollowsThePointerOnlyWhileActive) {
  BYOButton button(QStringLiteral("确定"));
  // Tracking starts as if inside: bordered until the first leaving.
  EXPECT_FALSE(button.isFlat());
  // While the application is not active, the pointer changes nothing.
  if (QGuiApplication::applicationState() != Qt::ApplicationActive) {
    leave(&button);
    EXPECT_FALSE(button.isFlat());
  }
  // The offscreen platform reports the application active once a window is shown and active.
  button.show();
  button.activateWindow();
  waitFor([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }, 2000);
  if (QGuiApplication::applicationState() != Qt::ApplicationActive) {
    GTEST_SKIP() << "the platform never reports the application active";
  }
  leave(&button);
  EXPECT_TRUE(button.isFlat());
  enter(&button);
  EXPECT_FALSE(button.isFlat());
  leave(&button);
  EXPECT_TRUE(button.isFlat());
}

}  // namespace
}  // namespace gelmora::ui::test
