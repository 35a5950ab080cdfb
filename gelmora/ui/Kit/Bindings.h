#pragma once
// Reactive values and commands bound to widgets. Every binding ends with the widget it was made
// on: subscriptions and notification observations are held by a child of that widget, so a
// deleted widget is never called again.
#include <QAbstractButton>
#include <QLineEdit>
#include <QPointer>
#include <QThread>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/notifications/NotificationCenter.h"
#include "platform/reactive/Command.h"
#include "platform/reactive/Disposable.h"
#include "platform/reactive/Signal.h"

namespace gelmora::ui {

// Keeps `subscription` until `owner` is destroyed, then disposes it.
void keepUntilDestroyed(QObject* owner, platform::reactive::Disposable subscription);
// Keeps `object` alive until `owner` is destroyed.
void keepUntilDestroyed(QObject* owner, std::shared_ptr<void> object);
// Runs `task` on `context`'s thread: at once when already there, else queued; never after
// `context` is destroyed.
void onObjectThread(QObject* context, std::function<void()> task);

// Observes `name` on the default centre for as long as `context` lives. The handler runs on the
// context's thread (at once for posts made there).
void observe(QObject* context, std::string_view name,
             std::function<void(const platform::notifications::Notification&)> handler);

// Calls `apply` with each value of `values` on `owner`'s thread, until `owner` is destroyed.
template <class T>
void bindValue(QObject* owner, const platform::reactive::Signal<T>& values,
               std::function<void(const T&)> apply) {
  QPointer<QObject> guard(owner);
  auto sub = values.subscribeNext([guard, apply = std::move(apply)](const T& v) {
    if (!guard) return;
    onObjectThread(guard.data(), [apply, v] { apply(v); });
  });
  keepUntilDestroyed(owner, sub);
}

// The button is enabled exactly when the command is, and a click executes it with `input`.
template <class In, class Out>
void bindCommand(QAbstractButton* button,
                 std::shared_ptr<platform::reactive::Command<In, Out>> command, In input = In{}) {
  QPointer<QAbstractButton> guard(button);
  bindValue<bool>(button, command->enabled(), [guard](const bool& on) {
    if (guard) guard->setEnabled(on);
  });
  auto* raw = command.get();
  keepUntilDestroyed(button, std::shared_ptr<void>(std::move(command)));
  QObject::connect(button, &QAbstractButton::clicked, button,
                   [raw, input = std::move(input)] { raw->execute(input); });
}

// Feeds `sink` with the field's text now and after every edit by the user; text set from code
// (setText) never reaches it.
void bindText(QLineEdit* field, std::function<void(const std::string&)> sink);

// The button's title follows `titles`.
void bindTitle(QAbstractButton* button, const platform::reactive::Signal<std::string>& titles);

}  // namespace gelmora::ui
