// Program entry. For now: the Qt application with its main queue and nothing shown.
#include <QApplication>

#include "ui/Application/QtMainQueue.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  auto queue = gelmora::ui::installMainQueue();
  return 0;
}
