#include "gelmora/Legacy/FakeLegacyServices.h"

#include <chrono>

void FakeLegacyServices::script(const std::string& op, std::vector<Outcome> outcomes) {
  std::lock_guard lock(mu_);
  for (auto& o : outcomes) scripts_[op].push_back(std::move(o));
}

void FakeLegacyServices::hold(const std::string& op) {
  std::lock_guard lock(mu_);
  held_[op] = true;
}

void FakeLegacyServices::release(const std::string& op) {
  std::lock_guard lock(mu_);
  held_[op] = false;
  cv_.notify_all();
}

bool FakeLegacyServices::waitHeld(const std::string& op, int timeoutMs) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return waiting_[op] > 0; });
}

std::vector<std::string> FakeLegacyServices::calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

int FakeLegacyServices::count(const std::string& op) const {
  std::lock_guard lock(mu_);
  int n = 0;
  for (const auto& c : calls_) n += c == op ? 1 : 0;
  return n;
}

std::vector<std::string> FakeLegacyServices::argumentLog() const {
  std::lock_guard lock(mu_);
  return args_;
}

void FakeLegacyServices::setTotals(std::int64_t up, std::int64_t down) {
  std::lock_guard lock(mu_);
  up_ = up;
  down_ = down;
}

std::vector<std::string> FakeLegacyServices::logLines() const {
  std::lock_guard lock(mu_);
  return log_;
}

std::vector<std::string> FakeLegacyServices::reportedLines() const {
  std::lock_guard lock(mu_);
  return reported_;
}

std::vector<std::string> FakeLegacyServices::domainList() const {
  std::lock_guard lock(mu_);
  return domains_;
}

std::optional<FakeLegacyServices::Outcome> FakeLegacyServices::enter(const std::string& op,
                                                                     const std::string& args) {
  std::unique_lock lock(mu_);
  calls_.push_back(op);
  if (!args.empty()) args_.push_back(op + ":" + args);
  ++waiting_[op];
  cv_.notify_all();
  cv_.wait(lock, [&] { return !held_[op]; });
  --waiting_[op];
  auto it = scripts_.find(op);
  if (it == scripts_.end() || it->second.empty()) return std::nullopt;
  Outcome o = it->second.front();
  if (it->second.size() > 1) it->second.pop_front();
  return o;
}

LegacyServices::Answer FakeLegacyServices::answerOf(const std::optional<Outcome>& o, TQError* error,
                                                    const nlohmann::json& dflt) {
  if (!o) return dflt;
  if (o->error) {
    if (error) *error = *o->error;
    return std::nullopt;
  }
  if (!o->ok) {
    if (error) *error = TQError{"", -1, "failed", std::nullopt};
    return std::nullopt;
  }
  return o->answer ? o->answer : dflt;
}

namespace {
const nlohmann::json kOk = {{"code", 0}, {"info", "ok"}, {"data", nlohmann::json::object()}};
}

LegacyServices::Answer FakeLegacyServices::startup(TQError* e) {
  return answerOf(enter("startup"), e, kOk);
}
LegacyServices::Answer FakeLegacyServices::autoLogin(const std::string& token, TQError* e) {
  return answerOf(enter("autoLogin", token), e, kOk);
}
bool FakeLegacyServices::Verification(const std::string& phone, const std::string& cc, TQError* e) {
  auto o = enter("Verification", phone + "," + cc);
  if (!o) return true;
  if (o->error && e) *e = *o->error;
  return o->ok && !o->error;
}
LegacyServices::Answer FakeLegacyServices::loginWithVerification(const std::string& phone,
                                                                 const std::string& cc,
                                                                 const std::string& code,
                                                                 TQError* e) {
  return answerOf(enter("loginWithVerification", phone + "," + cc + "," + code), e, kOk);
}
LegacyServices::Answer FakeLegacyServices::getRules(TQError* e) {
  return answerOf(enter("getRules"), e, kOk);
}
LegacyServices::Answer FakeLegacyServices::heartBeat(TQError* e) {
  return answerOf(enter("heartBeat"), e, kOk);
}
LegacyServices::Answer FakeLegacyServices::stopSpeed(TQError* e) {
  return answerOf(enter("stopSpeed"), e, kOk);
}
LegacyServices::Answer FakeLegacyServices::logout(TQError* e) {
  return answerOf(enter("logout"), e, kOk);
}
void FakeLegacyServices::unloadKEXT() { enter("unloadKEXT"); }
void FakeLegacyServices::loakKEXT() { enter("loakKEXT"); }
bool FakeLegacyServices::existKEXT() {
  auto o = enter("existKEXT");
  return !o || o->ok;
}
bool FakeLegacyServices::openKextConnection() {
  auto o = enter("openKextConnection");
  return !o || o->ok;
}
void FakeLegacyServices::unloadMessagePipe() { enter("unloadMessagePipe"); }
bool FakeLegacyServices::updateIpPacket() {
  auto o = enter("updateIpPacket");
  return !o || o->ok;
}
std::optional<std::string> FakeLegacyServices::updateWithRulelistReturnObject(
    const nlohmann::json&) {
  auto o = enter("updateWithRulelistReturnObject");
  return o ? o->text : std::nullopt;
}
bool FakeLegacyServices::setRulesToKext() {
  auto o = enter("setRulesToKext");
  return !o || o->ok;
}
void FakeLegacyServices::UpdateStreamLimit(std::int64_t up, std::int64_t down) {
  enter("UpdateStreamLimit", std::to_string(up) + "," + std::to_string(down));
}
void FakeLegacyServices::UpdateEntranceIP(const std::string& ip, std::uint32_t port) {
  enter("UpdateEntranceIP", ip + "," + std::to_string(port));
}
LegacyServices::Probe FakeLegacyServices::SelectEntrancePort(const std::string& ip,
                                                             const nlohmann::json&) {
  auto o = enter("SelectEntrancePort", ip);
  Probe p;
  if (o && o->answer && o->answer->is_object()) {
    p.port = o->answer->value("port", 0);
    p.delay = o->answer->value("delay", 3000);
  }
  return p;
}
std::int64_t FakeLegacyServices::getUpstreamlimit() {
  std::lock_guard lock(mu_);
  return up_;
}
std::int64_t FakeLegacyServices::getDownstreamlimit() {
  std::lock_guard lock(mu_);
  return down_;
}
void FakeLegacyServices::setUpstreamlimit(std::int64_t bytes) {
  std::lock_guard lock(mu_);
  up_ = bytes;
}
void FakeLegacyServices::setDownstreamlimit(std::int64_t bytes) {
  std::lock_guard lock(mu_);
  down_ = bytes;
}
void FakeLegacyServices::setDomainList(std::vector<std::string> list) {
  std::lock_guard lock(mu_);
  domains_ = std::move(list);
}
std::string FakeLegacyServices::getUseddomain() {
  std::lock_guard lock(mu_);
  return usedDomain;
}
void FakeLegacyServices::log(const std::string& text, bool report) {
  std::lock_guard lock(mu_);
  log_.push_back(text);
  if (report) reported_.push_back(text);
}
