// main() of the widget tests: one QApplication for the whole program, the Qt main queue
// installed before any test asks for mainQueue(), and the English texts.
#include <gtest/gtest.h>

#include <QApplication>

#include "ui/Application/QtMainQueue.h"
#include "ui/Kit/L10n.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  auto queue = gelmora::ui::installMainQueue();
  gelmora::ui::L10n::installTable("en");
  const int result = RUN_ALL_TESTS();
  queue->close();
  return result;
}
