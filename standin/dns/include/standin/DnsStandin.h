#pragma once
// A DNS server on 127.0.0.1 (UDP) for tests and the stand-in program: A records, CNAME chains
// answered with compressed names, and switches that make it answer badly.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace standin {

struct DnsQuestion {
  std::string name;  // dotted, as asked (no trailing dot)
  uint16_t type = 0;
  uint16_t qclass = 0;
};

// The id and the one question of a query. Rejects (nothing, with a reason in *error) a message
// shorter than its header, an answer, a count other than one question, and a name that runs past
// the end, has a label over 63 bytes, exceeds 255 bytes or loops through pointers.
std::optional<DnsQuestion> parseDnsQuery(const uint8_t* data, size_t size, uint16_t* id,
                                         std::string* error);

class DnsStandin {
 public:
  enum class Mode {
    kNormal,
    kNxdomain,   // every name is unknown
    kServfail,   // every query fails
    kTruncated,  // TC set, no answers: the client should retry over TCP
    kSilent,     // queries are read and logged, never answered
  };

  DnsStandin();
  ~DnsStandin();
  DnsStandin(const DnsStandin&) = delete;
  DnsStandin& operator=(const DnsStandin&) = delete;

  // Binds address:port (0 picks a free port) and serves on its own thread. Tests in a network
  // namespace of their own may give an address of that namespace.
  bool start(int port = 0, const std::string& address = "127.0.0.1");
  // Stops serving and joins the thread. Safe to call twice.
  void stop();
  int port() const { return port_; }
  std::string hostPort() const;

  // Records; names are matched without regard to case. addA answers false for a bad address.
  bool addA(const std::string& name, const std::string& ipv4);
  bool addCname(const std::string& name, const std::string& target);
  void setMode(Mode mode);

  // Names asked so far (as asked), in order; malformed queries are not listed.
  std::vector<std::string> queries() const;

  // The answer to one query message; empty when none is sent (silence, or not a query at all).
  std::vector<uint8_t> answer(const uint8_t* query, size_t size);

 private:
  void serve();

  mutable std::mutex m_;
  std::map<std::string, std::vector<uint32_t>> a_;  // lower-case name -> addresses (network order)
  std::map<std::string, std::string> cname_;        // lower-case name -> target as given
  Mode mode_ = Mode::kNormal;
  std::vector<std::string> queries_;
  int fd_ = -1;
  int wake_ = -1;
  int port_ = 0;
  std::string address_ = "127.0.0.1";
  std::thread thread_;
};

}  // namespace standin
