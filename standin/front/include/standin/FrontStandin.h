#pragma once
// One address in front of the two services that share the client's base domain: form POSTs that
// carry "mobile=mobile" (the account service's envelope) go to the account stand-in, every other
// POST and every GET to the older-service stand-in. Listens on 127.0.0.1; test infrastructure.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace standin {

class FrontStandin {
 public:
  // Back ends as "host:port".
  FrontStandin(std::string accountHostPort, std::string olderHostPort);
  ~FrontStandin();
  FrontStandin(const FrontStandin&) = delete;
  FrontStandin& operator=(const FrontStandin&) = delete;

  // Binds 127.0.0.1:port (0 = any free port) and serves on a thread of its own.
  bool start(int port = 0);
  void stop();
  int port() const { return port_; }
  std::string hostPort() const;

  // Which back end a request goes to: true for the account service.
  static bool forAccount(const std::string& method, const std::string& body);

  // Requests passed on to each back end so far.
  size_t accountCount() const;
  size_t olderCount() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace standin
