// Test-only driver of a running Qt Widgets program, loaded into it as a generic plugin:
//   QT_PLUGIN_PATH=<dir holding generic/libgelmora_gui_driver.so>
//   QT_QPA_GENERIC_PLUGINS=gelmoraguidriver:<socket path>
// It listens on that Unix socket (mode 0600; removed at exit) and answers one JSON object per line
// to each command line. Widgets are named by a path of objectNames, "a/b/c": each step is a
// descendant of the previous one (the first among the visible top-level widgets, then all); a step
// ".ClassName" names the first widget of that class.
// Commands ("cmd"):
//   find {path}                    -> {class, visible, enabled}
//   click {path} [button]          mouse click at the widget's centre (QTest)
//   type {path, text}              key clicks into the widget
//   key {path, key}                one key ("Return", "Escape", "Tab", "Q" + "ctrl": true, ...)
//                                  (click and key answer first, then deliver the input, so one
//                                  that opens a modal dialog leaves the driver serving)
//   text {path}                    -> {text}: label, line edit, button, combo box or window title
//   property {path, name}          -> {value}
//   js {path, script}              runs in the QWebEngineView's page -> {value}
//   grab {path, file, [screen]}    saves the widget as PNG (screen: as the display shows it)
//   close {path}                   closes the widget's window
//   wait {path, what, [equals], timeout_ms}   what = exists|visible|hidden|enabled|text|property
//                                  (property takes name); waits with a deadline -> ok or error
//   widgets                        -> {widgets: [objectName paths of visible named widgets]}
//   first_exposed                  -> {ms, pid}: milliseconds from the process start to the
//                                  first exposed window, and the process id
//   quit                           closes the connection
// Lines longer than 64 KiB, bad JSON and unknown commands get {"ok": false, "error": ...}.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QGenericPlugin>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWidget>
#include <QWindow>
#include <memory>

namespace {

constexpr qsizetype kMaxLine = 64 * 1024;

// Milliseconds since the process started, from /proc/self/stat's start time.
qint64 millisSinceProcessStart() {
  QFile stat("/proc/self/stat");
  if (!stat.open(QIODevice::ReadOnly)) return -1;
  const QByteArray line = stat.readAll();
  const qsizetype close = line.lastIndexOf(')');
  if (close < 0) return -1;
  const QList<QByteArray> fields = line.mid(close + 2).split(' ');
  // Field 22 of the line is the start time; fields here begin at field 3.
  if (fields.size() < 20) return -1;
  const double startTicks = fields[19].toDouble();
  struct timespec now {};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const double nowMs = now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
  return static_cast<qint64>(nowMs - startTicks * 1000.0 / sysconf(_SC_CLK_TCK));
}

QString textOf(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
  if (auto* t = qobject_cast<QTextEdit*>(w)) return t->toPlainText();
  if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->toPlainText();
  return w->windowTitle();
}

// A step is an objectName, or ".ClassName" for the first widget of that class.
bool matches(QWidget* w, const QString& step) {
  if (step.startsWith('.')) return QLatin1String(w->metaObject()->className()) == step.mid(1);
  return w->objectName() == step;
}

QWidget* findStep(const QList<QWidget*>& roots, const QString& step) {
  for (QWidget* r : roots)
    if (matches(r, step)) return r;
  // Visible ones first: a screen may keep a hidden copy of a name.
  for (bool visibleOnly : {true, false}) {
    for (QWidget* r : roots) {
      const auto all = r->findChildren<QWidget*>();
      for (QWidget* w : all)
        if ((!visibleOnly || w->isVisible()) && matches(w, step)) return w;
    }
  }
  return nullptr;
}

QWidget* findPath(const QString& path) {
  const QStringList steps = path.split('/', Qt::SkipEmptyParts);
  if (steps.isEmpty()) return nullptr;
  QList<QWidget*> roots;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) roots.append(w);
  for (QWidget* w : QApplication::topLevelWidgets())
    if (!w->isVisible()) roots.append(w);
  QWidget* at = nullptr;
  for (const QString& step : steps) {
    at = findStep(roots, step);
    if (!at) return nullptr;
    roots = {at};
  }
  return at;
}

void collectNames(QWidget* w, const QString& prefix, QJsonArray& out) {
  QString here = prefix;
  if (!w->objectName().isEmpty() && !w->objectName().startsWith("qt_")) {
    here = prefix.isEmpty() ? w->objectName() : prefix + "/" + w->objectName();
    out.append(here + " (" + w->metaObject()->className() + ")");
  }
  for (QObject* c : w->children())
    if (auto* cw = qobject_cast<QWidget*>(c); cw && cw->isVisible()) collectNames(cw, here, out);
}

Qt::Key keyNamed(const QString& name) {
  static const QHash<QString, Qt::Key> keys = {
      {"Return", Qt::Key_Return}, {"Enter", Qt::Key_Enter}, {"Escape", Qt::Key_Escape},
      {"Tab", Qt::Key_Tab},       {"Space", Qt::Key_Space}, {"Backspace", Qt::Key_Backspace}};
  if (auto it = keys.find(name); it != keys.end()) return *it;
  if (name.size() == 1 && name[0].isLetterOrNumber())
    return static_cast<Qt::Key>(name[0].toUpper().unicode());
  return Qt::Key_unknown;
}

class Connection : public QObject {
 public:
  explicit Connection(QLocalSocket* socket) : QObject(socket), socket_(socket) {
    connect(socket_, &QLocalSocket::readyRead, this, [this] { readLines(); });
    connect(socket_, &QLocalSocket::disconnected, socket_, &QObject::deleteLater);
  }

 private:
  void readLines() {
    while (!busy_) {
      if (!socket_->canReadLine()) {
        if (socket_->bytesAvailable() > kMaxLine) {
          socket_->readAll();
          answer(error("line over 64 KiB"));
        }
        return;
      }
      QByteArray line = socket_->readLine(kMaxLine + 2);
      if (!line.endsWith('\n')) {  // over the bound: the rest of it is dropped
        while (socket_->canReadLine() && !socket_->readLine(kMaxLine + 2).endsWith('\n')) {
        }
        answer(error("line over 64 KiB"));
        continue;
      }
      QJsonParseError parseError{};
      const QJsonDocument doc = QJsonDocument::fromJson(line.trimmed(), &parseError);
      if (!doc.isObject()) {
        answer(error("not a JSON object: " + parseError.errorString()));
        continue;
      }
      run(doc.object());
    }
  }

  static QJsonObject error(const QString& text) { return {{"ok", false}, {"error", text}}; }
  static QJsonObject ok(QJsonObject o = {}) {
    o["ok"] = true;
    return o;
  }

  void answer(const QJsonObject& o) {
    socket_->write(QJsonDocument(o).toJson(QJsonDocument::Compact) + "\n");
    socket_->flush();
  }

  // Commands that answer later hold the connection until they do.
  void later(const std::function<void(std::function<void(QJsonObject)>)>& start) {
    busy_ = true;
    QPointer<Connection> self(this);
    start([self](const QJsonObject& o) {
      if (!self) return;
      self->answer(o);
      self->busy_ = false;
      QTimer::singleShot(0, self, [self] {
        if (self) self->readLines();
      });
    });
  }

  // Answers ok, then delivers the input: a click or key may open a modal dialog whose own loop
  // runs inside the delivery, and the commands that answer that dialog are read meanwhile.
  void answerThen(std::function<void()> input) {
    later([input](std::function<void(QJsonObject)> done) {
      QTimer::singleShot(0, [input, done] {
        done(ok());
        input();
      });
    });
  }

  void run(const QJsonObject& c) {
    const QString cmd = c.value("cmd").toString();
    const QString path = c.value("path").toString();
    if (cmd == "quit") {
      socket_->disconnectFromServer();
      return;
    }
    if (cmd == "first_exposed") {
      answer(firstExposedMs_ < 0
                 ? error("no window exposed yet")
                 : ok({{"ms", double(firstExposedMs_)}, {"pid", double(::getpid())}}));
      return;
    }
    if (cmd == "widgets") {
      QJsonArray names;
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) collectNames(w, QString(), names);
      answer(ok({{"widgets", names}}));
      return;
    }
    if (cmd == "wait") {
      waitFor(c);
      return;
    }
    static const QStringList kWidgetCommands = {"find",     "click", "type", "key",  "text",
                                                "property", "js",    "grab", "close"};
    if (!kWidgetCommands.contains(cmd)) return answer(error("unknown command '" + cmd + "'"));
    QWidget* w = findPath(path);
    if (!w) {
      answer(error("no widget at '" + path + "'"));
      return;
    }
    if (cmd == "find") {
      answer(ok({{"class", w->metaObject()->className()},
                 {"visible", w->isVisible()},
                 {"enabled", w->isEnabled()}}));
    } else if (cmd == "click") {
      if (!w->isVisible()) return answer(error("'" + path + "' is not visible"));
      const auto button =
          c.value("button").toString() == "right" ? Qt::RightButton : Qt::LeftButton;
      QPointer<QWidget> target(w);
      answerThen([target, button] {
        if (target) QTest::mouseClick(target, button, Qt::NoModifier, target->rect().center());
      });
    } else if (cmd == "type") {
      w->setFocus(Qt::OtherFocusReason);
      QTest::keyClicks(w, c.value("text").toString());
      answer(ok());
    } else if (cmd == "key") {
      const Qt::Key key = keyNamed(c.value("key").toString());
      if (key == Qt::Key_unknown) return answer(error("unknown key"));
      const auto mods = c.value("ctrl").toBool() ? Qt::ControlModifier : Qt::NoModifier;
      QPointer<QWidget> target(w);
      answerThen([target, key, mods] {
        if (target) QTest::keyClick(target, key, mods);
      });
    } else if (cmd == "text") {
      answer(ok({{"text", textOf(w)}}));
    } else if (cmd == "property") {
      const QVariant v = w->property(c.value("name").toString().toUtf8().constData());
      if (!v.isValid()) return answer(error("no property"));
      answer(ok({{"value", QJsonValue::fromVariant(v)}}));
    } else if (cmd == "js") {
      auto* view = qobject_cast<QWebEngineView*>(w);
      if (!view) return answer(error("'" + path + "' is not a web view"));
      QPointer<QWebEnginePage> page(view->page());
      const QString script = c.value("script").toString();
      later([page, script](std::function<void(QJsonObject)> done) {
        if (!page) return done(error("page gone"));
        page->runJavaScript(script, [done](const QVariant& v) {
          done(ok({{"value", QJsonValue::fromVariant(v)}}));
        });
      });
    } else if (cmd == "close") {
      QPointer<QWidget> target(w->window());
      answerThen([target] {
        if (target) target->close();
      });
    } else if (cmd == "grab") {
      const QString file = c.value("file").toString();
      if (file.isEmpty()) return answer(error("no file"));
      // "screen": what the display shows in the widget's place (web views draw only there).
      QPixmap shot = w->grab();
      if (c.value("screen").toBool() && w->window()->windowHandle()) {
        const QPoint at = w->mapTo(w->window(), QPoint(0, 0));
        shot = w->window()->windowHandle()->screen()->grabWindow(w->window()->winId(), at.x(),
                                                                 at.y(), w->width(), w->height());
      }
      answer(shot.save(file, "PNG") ? ok() : error("cannot write " + file));
    } else {
      answer(error("unknown command '" + cmd + "'"));
    }
  }

  // Re-checks the condition on every pass of the event loop's timers until it holds or the
  // deadline passes.
  void waitFor(const QJsonObject& c) {
    const QString path = c.value("path").toString();
    const QString what = c.value("what").toString("visible");
    const QJsonValue equals = c.value("equals");
    const QString name = c.value("name").toString();
    const int timeout = c.value("timeout_ms").toInt(10000);
    static const QStringList kinds = {"exists", "visible", "hidden", "enabled", "text", "property"};
    if (!kinds.contains(what)) return answer(error("unknown condition '" + what + "'"));
    auto holds = [path, what, equals, name](QString* seen) {
      QWidget* w = findPath(path);
      if (what == "hidden") return !w || !w->isVisible();
      if (!w) return false;
      if (what == "exists") return true;
      if (what == "visible") return w->isVisible();
      if (what == "enabled") return w->isEnabled();
      if (what == "text") {
        *seen = textOf(w);
        return equals.isString() ? *seen == equals.toString() : !seen->isEmpty();
      }
      const QVariant v = w->property(name.toUtf8().constData());
      *seen = v.toString();
      return equals.isUndefined() ? v.isValid() : QJsonValue::fromVariant(v) == equals;
    };
    later([holds, timeout, path, what](std::function<void(QJsonObject)> done) {
      auto clock = std::make_shared<QElapsedTimer>();
      clock->start();
      auto timer = new QTimer;
      timer->setInterval(20);
      auto check = [=] {
        QString seen;
        if (holds(&seen)) {
          timer->deleteLater();
          done(ok({{"ms", double(clock->elapsed())}, {"seen", seen}}));
        } else if (clock->elapsed() > timeout) {
          timer->deleteLater();
          done(error("timed out waiting for " + what + " of '" + path + "' (last seen '" + seen +
                     "')"));
        }
      };
      QObject::connect(timer, &QTimer::timeout, check);
      timer->start();
    });
  }

 public:
  static qint64 firstExposedMs_;

 private:
  QLocalSocket* socket_;
  bool busy_ = false;
};

qint64 Connection::firstExposedMs_ = -1;

// Notes the first window that is put on screen.
class ExposeWatch : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (Connection::firstExposedMs_ < 0 && e->type() == QEvent::Expose) {
      if (auto* win = qobject_cast<QWindow*>(o); win && win->isExposed())
        Connection::firstExposedMs_ = millisSinceProcessStart();
    }
    return false;
  }
};

class Driver : public QObject {
 public:
  explicit Driver(const QString& socketPath) {
    QLocalServer::removeServer(socketPath);
    // Made 0600 at its creation: a client never finds it open wider (the umask is put back).
    const mode_t before = ::umask(0177);
    const bool listening = server_.listen(socketPath);
    ::umask(before);
    if (!listening) {
      qWarning("gui driver: cannot listen on %s: %s", qPrintable(socketPath),
               qPrintable(server_.errorString()));
      return;
    }
    connect(&server_, &QLocalServer::newConnection, this, [this] {
      while (QLocalSocket* s = server_.nextPendingConnection()) new Connection(s);
    });
    qApp->installEventFilter(new ExposeWatch(this));
  }

 private:
  QLocalServer server_;
};

}  // namespace

class GuiDriverPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "gui_driver.json")

 public:
  QObject* create(const QString& key, const QString& specification) override {
    if (key.toLower() != "gelmoraguidriver" || specification.isEmpty()) return nullptr;
    // The application keeps what a generic plugin makes and deletes it with itself.
    return new Driver(specification);
  }
};

#include "GuiDriverPlugin.moc"
