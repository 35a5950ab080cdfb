// single_instance_probe FOLDER: claims the one-copy lock in FOLDER. Prints "first" and waits
// (printing "activated" for each later copy), or prints "second" and ends with 0.
#include <QCoreApplication>
#include <cstdio>

#include "SingleInstance.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 2) return 2;
  gelmora::app::SingleInstance instance(QString::fromLocal8Bit(argv[1]));
  if (!instance.claim()) {
    std::printf("second\n");
    return 0;
  }
  QObject::connect(&instance, &gelmora::app::SingleInstance::activateRequested, [] {
    std::printf("activated\n");
    std::fflush(stdout);
  });
  std::printf("first\n");
  std::fflush(stdout);
  return application.exec();
}
