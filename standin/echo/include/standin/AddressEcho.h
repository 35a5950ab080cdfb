#pragma once
// The public-address echo service as the client sees it: a plain-text body holding the caller's
// address. The body is scripted so tests can hand the client any answer.
#include <mutex>
#include <string>

#include "standin/HttpStandin.h"

namespace standin {

class AddressEcho {
 public:
  static constexpr const char* kDefaultBody = "Current IP Address: 203.0.113.7\n";

  AddressEcho();
  bool start(int port = 0) { return server_.start(port); }
  void stop() { server_.stop(); }

  // The address the client is told to ask: "http://127.0.0.1:<port>/".
  std::string url() const { return server_.baseUrl() + "/"; }
  void setBody(std::string body);
  // The harness underneath, for its switches and request log.
  HttpStandin& server() { return server_; }

  // Registers the echo handler on a server (shared with the program).
  static void install(HttpStandin& server, AddressEcho* owner);

 private:
  std::string body() const;

  mutable std::mutex mutex_;
  std::string body_ = kDefaultBody;
  HttpStandin server_;
};

}  // namespace standin
