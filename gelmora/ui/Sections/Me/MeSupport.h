#pragma once
// What the account centre's screens share: their question and notice alerts as collaborators,
// the tags they keep on widgets, and small readers of the signed-in user's profile.
#include <QLabel>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "JolvexAPI/JolvexSchemaModels.h"

class TsUserController;

namespace gelmora::ui {

struct MeAlerts {
  // A question with the buttons "yes_button" and "cancel" over `window`; `yes` runs only when
  // the first button answers it.
  std::function<void(QWidget* window, const QString& title, const QString& message,
                     std::function<void()> yes)>
      confirm;
  // A notice with one button.
  std::function<void(const QString& title, const QString& message)> notice;
};
// Window-modal message boxes (the alert look of the kit).
MeAlerts qtMeAlerts();
// `alerts` with every empty entry filled from qtMeAlerts().
MeAlerts withQtMeAlerts(MeAlerts alerts);

// View and cell tags, kept as the widget properties "viewTag" and "cellTag".
void setViewTag(QWidget* view, int tag);
int viewTag(const QWidget* view);
void setCellTag(QWidget* view, int tag);
int cellTag(const QWidget* view);
// The first descendant of `root` (depth first, `root` itself excluded) with the view tag.
QWidget* viewWithTag(const QWidget* root, int tag);

// The signed-in user's account, none when signed out.
const JVX_USER_INFO* userInfoOf(const TsUserController& user);
// A text of the profile as a QString; none stays none.
std::optional<QString> qText(const std::optional<std::string>& text);
// A caption label in the account screens' look.
QLabel* makeMeLabel(QWidget* parent, const char* objectName, int pixelSize, const QColor& color);

}  // namespace gelmora::ui
