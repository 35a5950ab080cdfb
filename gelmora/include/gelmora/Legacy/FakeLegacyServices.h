#pragma once
// Scripted LegacyServices for tests: each operation answers from a queue of scripted outcomes
// (the last one repeats; none scripted: a default success), records its call, and can be held
// until the test releases it. Thread-safe.
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gelmora/Legacy/LegacyServices.h"

class FakeLegacyServices : public LegacyServices {
 public:
  // One scripted outcome: an answer, or an error (code, description), or a bare truth value.
  struct Outcome {
    Answer answer;
    std::optional<TQError> error;
    bool ok = true;
    std::optional<std::string> text;  // parse failure text
  };
  static Outcome reply(nlohmann::json j) { return {std::move(j), std::nullopt, true, {}}; }
  static Outcome failure(std::string description, long long code = -1) {
    return {std::nullopt, TQError{"", code, std::move(description), std::nullopt}, false, {}};
  }
  static Outcome yes() { return {std::nullopt, std::nullopt, true, {}}; }
  static Outcome no() { return {std::nullopt, std::nullopt, false, {}}; }
  static Outcome parseFailure(std::string text) {
    return {std::nullopt, std::nullopt, true, std::move(text)};
  }

  // Appends outcomes for an operation ("startup", "getRules", "existKEXT", ...).
  void script(const std::string& op, std::vector<Outcome> outcomes);
  // Calls of `op` block until release(op) (or until unhold).
  void hold(const std::string& op);
  void release(const std::string& op);
  // Waits (real time, guard against hangs) until `op` is blocked in a held call.
  bool waitHeld(const std::string& op, int timeoutMs = 10000);

  std::vector<std::string> calls() const;
  int count(const std::string& op) const;
  // Arguments of the calls that take some, as "op:arg1,arg2".
  std::vector<std::string> argumentLog() const;

  void setTotals(std::int64_t up, std::int64_t down);
  std::vector<std::string> logLines() const;
  std::vector<std::string> reportedLines() const;
  std::vector<std::string> domainList() const;

  Answer startup(TQError* error) override;
  Answer autoLogin(const std::string& token, TQError* error) override;
  bool Verification(const std::string& phone, const std::string& countrycode,
                    TQError* error) override;
  Answer loginWithVerification(const std::string& phone, const std::string& countrycode,
                               const std::string& verification, TQError* error) override;
  Answer getRules(TQError* error) override;
  Answer heartBeat(TQError* error) override;
  Answer stopSpeed(TQError* error) override;
  Answer logout(TQError* error) override;
  void unloadKEXT() override;
  void loakKEXT() override;
  bool existKEXT() override;
  bool openKextConnection() override;
  void unloadMessagePipe() override;
  bool updateIpPacket() override;
  std::optional<std::string> updateWithRulelistReturnObject(const nlohmann::json& reply) override;
  bool setRulesToKext() override;
  void UpdateStreamLimit(std::int64_t up, std::int64_t down) override;
  void UpdateEntranceIP(const std::string& ip, std::uint32_t port) override;
  Probe SelectEntrancePort(const std::string& ip, const nlohmann::json& ports) override;
  std::int64_t getUpstreamlimit() override;
  std::int64_t getDownstreamlimit() override;
  void setUpstreamlimit(std::int64_t bytes) override;
  void setDownstreamlimit(std::int64_t bytes) override;
  void setDomainList(std::vector<std::string> list) override;
  std::string getUseddomain() override;
  std::int32_t getUid() override { return 1234; }
  void log(const std::string& text, bool report) override;

  std::string usedDomain = "older.test";

 private:
  // Records the call, waits while held, answers the next scripted outcome (none: nullopt).
  std::optional<Outcome> enter(const std::string& op, const std::string& args = {});
  Answer answerOf(const std::optional<Outcome>& o, TQError* error, const nlohmann::json& dflt);

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, std::deque<Outcome>> scripts_;
  std::map<std::string, bool> held_;
  std::map<std::string, int> waiting_;
  std::vector<std::string> calls_;
  std::vector<std::string> args_;
  std::vector<std::string> log_;
  std::vector<std::string> reported_;
  std::vector<std::string> domains_;
  std::int64_t up_ = 0;
  std::int64_t down_ = 0;
};
