#pragma once
// Calls of the older service protocol. Each builds its form (or JSON) payload, sends it through
// TsHttpHelper to a path under "/q5client/" and hands the answer back; the sign-in calls also
// feed the answer to TsParams. All but one are class operations and block the calling thread.
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Tovra/Base/TQConstants.h"
#include "gelmora/Model/UserModel/UserModel.h"
#include "gelmora/Service/Web/TsHttpHelper.h"

class TsWebService {
 public:
  using Answer = std::optional<nlohmann::json>;

  static Answer startup(TQError* error);
  static Answer login(const UserModel& user, TQError* error);
  static Answer autoLogin(const std::string& token, TQError* error);
  static Answer loginWithVerification(const std::string& phone, const std::string& countrycode,
                                      const std::string& verification, TQError* error);
  static void GetVerificatiuon(const UserModel& user);
  static bool Verification(const std::string& phone, const std::string& countrycode,
                           TQError* error);
  static Answer getRules(TQError* error);
  static Answer stopSpeed(TQError* error);
  static Answer logout(TQError* error);
  static Answer heartBeat(TQError* error);
  static Answer getAreaispDownloadAddress(TQError* error);
  void AsynGetAreaispDownloadAddress();
  static std::string RuquestWebPostfix();
  static std::string getLastError() { return {}; }

  // The payloads as sent (tests compare them field by field).
  static std::string startupForm();
  static std::string loginForm(const std::string& phone, const std::string& countryCode,
                               const std::string& smsCode);
  static std::string autoLoginForm(const std::string& token);
  static std::string verifyForm(const std::string& phone, const std::string& countryCode);
  // JSON text of the rule-list request; fields in order, each only when it has a value.
  static std::string rulesBody();

  std::shared_ptr<TsTaskPortocol> taskProtocol() const { return taskProtocol_; }
  void setTaskProtocol(std::shared_ptr<TsTaskPortocol> p) { taskProtocol_ = std::move(p); }

 private:
  std::shared_ptr<TsTaskPortocol> taskProtocol_;
};
