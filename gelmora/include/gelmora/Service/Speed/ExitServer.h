#pragma once
// An exit of the relay network, named in path probes and path answers.
#include <cstdint>
#include <string>

class ExitServer {
 public:
  const std::string& addr() const { return addr_; }
  void setAddr(std::string v) { addr_ = std::move(v); }
  // Base64 text of the exit's NAT address text.
  const std::string& nat() const { return nat_; }
  void setNat(std::string v) { nat_ = std::move(v); }
  std::int32_t flowGroupId() const { return flowGroupId_; }
  void setFlowGroupId(std::int32_t v) { flowGroupId_ = v; }
  std::int32_t level() const { return level_; }
  void setLevel(std::int32_t v) { level_ = v; }
  std::int32_t rule_id() const { return ruleId_; }
  void setRule_id(std::int32_t v) { ruleId_ = v; }

  // The NAT address text; empty when `nat` is not Base64 of text.
  std::string ipAddress() const;
  bool isEqualToExit(const ExitServer& other) const {
    return addr_ == other.addr_ && nat_ == other.nat_;
  }

 private:
  std::string addr_;
  std::string nat_;
  std::int32_t flowGroupId_ = 0;
  std::int32_t level_ = 0;
  std::int32_t ruleId_ = 0;
};
