#pragma once
// What the older windows call of the older service layer, one member per operation. Every member
// may block (requests, the loader tool, probes), so callers run them on worker threads. The
// production instance calls the landed classes (TsWebService, Utils, KextHelper, TsParams, ...);
// tests use FakeLegacyServices.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Tovra/Base/TQConstants.h"

class LegacyServices {
 public:
  using Answer = std::optional<nlohmann::json>;

  virtual ~LegacyServices() = default;

  // Requests of the older protocol (TsWebService).
  virtual Answer startup(TQError* error) = 0;
  virtual Answer autoLogin(const std::string& token, TQError* error) = 0;
  virtual bool Verification(const std::string& phone, const std::string& countrycode,
                            TQError* error) = 0;
  virtual Answer loginWithVerification(const std::string& phone, const std::string& countrycode,
                                       const std::string& verification, TQError* error) = 0;
  virtual Answer getRules(TQError* error) = 0;
  virtual Answer heartBeat(TQError* error) = 0;
  virtual Answer stopSpeed(TQError* error) = 0;
  virtual Answer logout(TQError* error) = 0;

  // The filter: loader tool, presence, control connection.
  virtual void unloadKEXT() = 0;
  virtual void loakKEXT() = 0;
  virtual bool existKEXT() = 0;
  virtual bool openKextConnection() = 0;
  virtual void unloadMessagePipe() = 0;

  // Rules: address library, parse, push.
  virtual bool updateIpPacket() = 0;
  virtual std::optional<std::string> updateWithRulelistReturnObject(
      const nlohmann::json& reply) = 0;
  virtual bool setRulesToKext() = 0;

  // Live updates of a running filter.
  virtual void UpdateStreamLimit(std::int64_t up, std::int64_t down) = 0;
  virtual void UpdateEntranceIP(const std::string& ip, std::uint32_t port) = 0;
  // Probes the entrance's ports; the chosen port and its delay (3000: none answered).
  struct Probe {
    std::uint16_t port = 0;
    std::int32_t delay = 3000;
  };
  virtual Probe SelectEntrancePort(const std::string& ip, const nlohmann::json& ports) = 0;

  // Byte totals summed by the control reader (TsParams).
  virtual std::int64_t getUpstreamlimit() = 0;
  virtual std::int64_t getDownstreamlimit() = 0;
  virtual void setUpstreamlimit(std::int64_t bytes) = 0;
  virtual void setDownstreamlimit(std::int64_t bytes) = 0;

  virtual void setDomainList(std::vector<std::string> list) = 0;
  virtual std::string getUseddomain() = 0;
  virtual std::int32_t getUid() = 0;

  // The legacy log: console line, optionally reported to the service.
  virtual void log(const std::string& text, bool report) = 0;

  // The process's production instance.
  static LegacyServices& production();
};
