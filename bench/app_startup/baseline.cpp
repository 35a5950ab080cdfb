// A baseline of the application's start: one 950x600 Widgets window (with BASELINE_WEB, holding a
// web view on an empty page), shown at once, running until it is sent SIGTERM.
#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>
#include <cstdio>
#ifdef BASELINE_WEB
#include <QVBoxLayout>
#include <QWebEngineView>
#endif

#include <sys/signalfd.h>
#include <unistd.h>

int main(int argc, char** argv) {
  // SIGTERM read from a descriptor, so the loop ends normally.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  const int fd = signalfd(-1, &mask, SFD_CLOEXEC);
#ifdef BASELINE_WEB
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
#endif
  QApplication app(argc, argv);
  QSocketNotifier term(fd, QSocketNotifier::Read);
  QObject::connect(&term, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
  QWidget window;
  window.resize(950, 600);
#ifdef BASELINE_WEB
  auto* layout = new QVBoxLayout(&window);
  auto* view = new QWebEngineView(&window);
  layout->addWidget(view);
  view->setHtml("<html><body style='background:#1f1d32'></body></html>");
#endif
  window.show();
  const int status = app.exec();
  ::close(fd);
  return status;
}
