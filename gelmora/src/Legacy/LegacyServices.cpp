#include "gelmora/Legacy/LegacyServices.h"

#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsKext.h"
#include "gelmora/Service/Speed/EntranceServer.h"
#include "gelmora/Service/Speed/IpPacketHelper.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/Utils.h"
#include "gelmora/Service/Web/TsWebService.h"

namespace {

class ProductionLegacyServices : public LegacyServices {
 public:
  Answer startup(TQError* e) override { return TsWebService::startup(e); }
  Answer autoLogin(const std::string& token, TQError* e) override {
    return TsWebService::autoLogin(token, e);
  }
  bool Verification(const std::string& phone, const std::string& cc, TQError* e) override {
    return TsWebService::Verification(phone, cc, e);
  }
  Answer loginWithVerification(const std::string& phone, const std::string& cc,
                               const std::string& code, TQError* e) override {
    return TsWebService::loginWithVerification(phone, cc, code, e);
  }
  Answer getRules(TQError* e) override { return TsWebService::getRules(e); }
  Answer heartBeat(TQError* e) override { return TsWebService::heartBeat(e); }
  Answer stopSpeed(TQError* e) override { return TsWebService::stopSpeed(e); }
  Answer logout(TQError* e) override { return TsWebService::logout(e); }
  void unloadKEXT() override { Utils::unloadKEXT(); }
  void loakKEXT() override { Utils::loakKEXT(); }
  bool existKEXT() override { return Utils::existKEXT(); }
  bool openKextConnection() override {
    // The reader answers path requests and sums the traffic through the rule store.
    KextHelper::setHooks(TsParams::kextHooks());
    return KextHelper::openKextConnection();
  }
  void unloadMessagePipe() override { KextHelper::unloadMessagePipe(); }
  bool updateIpPacket() override { return IpPacketHelper::updateIpPacket(); }
  std::optional<std::string> updateWithRulelistReturnObject(const nlohmann::json& r) override {
    return TsParams::updateWithRulelistReturnObject(r);
  }
  bool setRulesToKext() override { return TsParamsKext::setRulesToKext(TsParams::kextRuleSet()); }
  void UpdateStreamLimit(std::int64_t up, std::int64_t down) override {
    KextHelper::UpdateStreamLimit(up, down);
  }
  void UpdateEntranceIP(const std::string& ip, std::uint32_t port) override {
    KextHelper::UpdateEntranceIP(ip, port);
  }
  Probe SelectEntrancePort(const std::string& ip, const nlohmann::json& ports) override {
    EntranceServer server;
    server.setIp(ip);
    server.setPortArray(ports);
    server.SelectEntrancePort();
    return Probe{server.port(), server.delay()};
  }
  std::int64_t getUpstreamlimit() override { return TsParams::getUpstreamlimit(); }
  std::int64_t getDownstreamlimit() override { return TsParams::getDownstreamlimit(); }
  void setUpstreamlimit(std::int64_t b) override { TsParams::setUpstreamlimit(b); }
  void setDownstreamlimit(std::int64_t b) override { TsParams::setDownstreamlimit(b); }
  void setDomainList(std::vector<std::string> list) override {
    TsParams::setDomainList(std::move(list));
  }
  std::string getUseddomain() override { return TsParams::getUseddomain(); }
  std::int32_t getUid() override { return TsParams::getUid(); }
  void log(const std::string& text, bool report) override { MLOG().INFO(text, report); }
};

}  // namespace

LegacyServices& LegacyServices::production() {
  static ProductionLegacyServices* s = new ProductionLegacyServices;
  return *s;
}
