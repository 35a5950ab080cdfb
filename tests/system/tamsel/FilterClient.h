// Test client of the filter's control: pushes options, answers path requests (record 2) with the
// entrance set for the offset (option 4000) and keeps every record it reads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kctl/Client.h"
#include "tamsel/kctl_abi.h"

namespace tsl {

struct Record {
  uint32_t type = 0;
  std::vector<uint8_t> payload;

  // Type 1: the text.
  std::string text() const;
  // Type 2 and 3: the payload as its structure (zeroes when it is shorter).
  tamsel::abi::k2u_req_path path() const;
  tamsel::abi::k2u_ippacket_desc packet() const;
};

struct Entrance {
  std::string ip;
  int port = 0;
  uint32_t exit = 0;
  std::string nat;
  uint32_t streamLimit = 0;
};

class FilterClient {
 public:
  explicit FilterClient(std::string runDir) : runDir_(std::move(runDir)) {}
  ~FilterClient();
  FilterClient(const FilterClient&) = delete;
  FilterClient& operator=(const FilterClient&) = delete;

  // Connects and starts reading records; 0 or an errno.
  int connect();
  void close();

  int set(int name, const void* data, size_t len);
  int vni(int32_t v);
  int white(int offset, int level, const std::string& rule);
  int black(const std::string& rule);
  int dnsRule(const std::string& server, const std::string& domain);
  int address(int name, const std::string& ip);  // 4020, 4021
  int on(int name);                              // the switches, 3001..3999

  // What a path request for `offset` is answered with; a request for an offset without one stays
  // unanswered.
  void setEntrance(int offset, const Entrance& e);
  // Option 4000 for `offset` now.
  int installPath(int offset);
  // Results of the 4000 answers given to path requests, in order.
  std::vector<int> pathAnswers() const;

  std::vector<Record> records() const;
  // Real time; a guard against hangs, the condition is what the test waits for.
  bool waitFor(const std::function<bool(const std::vector<Record>&)>& done,
               std::chrono::milliseconds timeout) const;

 private:
  void read();

  std::string runDir_;
  platform::kctl::Client client_;
  std::thread reader_;
  mutable std::mutex m_;
  mutable std::condition_variable changed_;
  std::vector<Record> records_;
  std::map<int, Entrance> entrances_;
  std::vector<int> answers_;
};

// Counting helpers over kept records.
size_t countType(const std::vector<Record>& rs, uint32_t type);
size_t countLog(const std::vector<Record>& rs, const std::string& needle);

}  // namespace tsl
