#include "ui/Sections/Login/TsThirdLoginHandler.h"

#include "Galvent/Models/GVTsSession.h"
#include "Tovra/Base/TQAPIModel.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
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
  if (!data.is_string()) {
    if (dismiss_) dismiss_();
    return;
  }
  const std::string& text = data.get_ref<const std::string&>();
  json message = json::object();
  if (text.size() > kMaxMessageBytes) {
    gelmora::logLine("userLoginSuccess: message of " + std::to_string(text.size()) +
                     " bytes not read");
  } else {
    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_object()) message = std::move(parsed);
  }
  auto code = message.find("code");
  const long long status = code == message.end() ? 0 : tq::integerValue(*code);
  if (status != 0) {
    auto info = message.find("info");
    std::string text;
    if (info != message.end()) text = info->is_string() ? info->get<std::string>() : info->dump();
    alert_("提示", text);
    if (dismiss_) dismiss_();
    return;
  }
  auto found = message.find("data");
  if (found == message.end() || !found->is_object()) return;  // stays open
  const json account = *found;

  auto token = account.find("auto_login_token");
  defaults_->setThirdLoginToken(token != account.end() && token->is_string()
                                    ? std::optional<std::string>(token->get<std::string>())
                                    : std::nullopt);
  auto info = tq::fromDictionary<JVX_USER_INFO>(account);
  if (!info) info = JVX_USER_INFO{};
  GVTsSession session;
  session.userInfo = *info;
  user_->setSession(session);
  user_->checkIsRegisterWith(*info);
  if (isBind_) {
    user_->refreshUserProfile();
  } else if (info->real_name_verification && info->real_name_verification->intValue() == 1) {
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
