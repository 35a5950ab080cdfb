#include "ui/Sections/Login/TsThirdLoginHandler.h"

#include "Galvent/Models/GVTsSession.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Sections/Login/ThirdLoginMessage.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "ui/Kit/Alert.h"

using nlohmann::json;

TsThirdLoginHandler::TsThirdLoginHandler(bool isBind, Collaborators c,
                                         std::function<void()> dismiss)
    : isBind_(isBind),
      user_(c.user ? c.user : &app().user()),
      analytics_(c.analytics ? c.analytics : &app().analytics()),
      defaults_(c.defaults ? c.defaults : &app().defaults()),
      alert_(std::move(c.alert)),
      dismiss_(std::move(dismiss)) {
  if (!alert_) {
    alert_ = [](const std::string& title, const std::string& message) {
      gelmora::ui::showAlertWithTitle(QString::fromStdString(title),
                                      QString::fromStdString(message));
    };
  }
}

std::string TsThirdLoginHandler::clientInfo() const {
  // The service reads these texts as they are: "macOS", "pc", and the application's own
  // version as "os_version".
  json info = {{"mac", user_->mac()},
               {"client_version", app().version()},
               {"system_plat", "pc"},
               {"system", "macOS"},
               {"os_version", TsSystemInformation::clientVersion()}};
  return info.dump(2);
}

void TsThirdLoginHandler::userLoginSuccess(const json& data) {
  ThirdLoginMessage message = ThirdLoginMessage::read(data);
  switch (message.outcome) {
    case ThirdLoginMessage::Outcome::Close:
      if (dismiss_) dismiss_();
      return;
    case ThirdLoginMessage::Outcome::Failed:
      alert_("提示", message.failureText);
      if (dismiss_) dismiss_();
      return;
    case ThirdLoginMessage::Outcome::Ignored:
      return;  // stays open
    case ThirdLoginMessage::Outcome::Account:
      break;
  }

  defaults_->setThirdLoginToken(message.token);
  GVTsSession session;
  session.userInfo = message.userInfo;
  user_->setSession(session);
  user_->checkIsRegisterWith(message.userInfo);
  if (isBind_) {
    user_->refreshUserProfile();
  } else if (message.verified) {
    user_->setOnline(true);
    user_->fetchFeedbackList();
    user_->refreshUserProfile();
  } else {
    platform::notifications::NotificationCenter::defaultCenter().post(TsUserPhoneBindNotification);
  }
  // Read before closing: closing may end the page and this handler with it.
  const std::string loginType = user_->loginType();
  TsAnalyticsService* analytics = analytics_;
  if (dismiss_) dismiss_();
  analytics->loginWithType(loginType);
}
