#include "ui/Kit/Bindings.h"

#include <vector>

namespace gelmora::ui {

namespace {

// Child of a bound object that holds what its bindings need; destroyed with its parent.
class BindingHolder : public QObject {
 public:
  explicit BindingHolder(QObject* parent) : QObject(parent) {
    setObjectName(QStringLiteral("gelmora-bindings"));
  }
  ~BindingHolder() override {
    // Observations first, so no handler starts while the rest goes.
    observations.clear();
    for (auto& d : subscriptions) d.dispose();
  }
  std::vector<platform::notifications::Observation> observations;
  std::vector<platform::reactive::Disposable> subscriptions;
  std::vector<std::shared_ptr<void>> objects;
};

BindingHolder* holderOf(QObject* owner) {
  auto* h = owner->findChild<BindingHolder*>(QStringLiteral("gelmora-bindings"),
                                             Qt::FindDirectChildrenOnly);
  return h ? h : new BindingHolder(owner);
}

}  // namespace

void keepUntilDestroyed(QObject* owner, platform::reactive::Disposable subscription) {
  holderOf(owner)->subscriptions.push_back(std::move(subscription));
}

void keepUntilDestroyed(QObject* owner, std::shared_ptr<void> object) {
  holderOf(owner)->objects.push_back(std::move(object));
}

void onObjectThread(QObject* context, std::function<void()> task) {
  if (!context) return;
  if (QThread::currentThread() == context->thread()) {
    task();
  } else {
    QMetaObject::invokeMethod(context, std::move(task), Qt::QueuedConnection);
  }
}

void observe(QObject* context, std::string_view name,
             std::function<void(const platform::notifications::Notification&)> handler) {
  QPointer<QObject> guard(context);
  auto observation = platform::notifications::NotificationCenter::defaultCenter().observe(
      name, [guard, handler = std::move(handler)](const platform::notifications::Notification& n) {
        if (!guard) return;
        onObjectThread(guard.data(), [guard, handler, n] {
          if (guard) handler(n);
        });
      });
  holderOf(context)->observations.push_back(std::move(observation));
}

void bindText(QLineEdit* field, std::function<void(const std::string&)> sink) {
  sink(field->text().toStdString());
  QObject::connect(field, &QLineEdit::textEdited, field,
                   [sink = std::move(sink)](const QString& text) { sink(text.toStdString()); });
}

void bindTitle(QAbstractButton* button, const platform::reactive::Signal<std::string>& titles) {
  QPointer<QAbstractButton> guard(button);
  bindValue<std::string>(button, titles, [guard](const std::string& title) {
    if (guard) guard->setText(QString::fromStdString(title));
  });
}

}  // namespace gelmora::ui
