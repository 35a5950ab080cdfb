#pragma once
// The geo lookups as the client sees them, on one server:
//  POST "/"                        the service's endpoint: AES envelope of {"data": {...}}
//  GET  "/service/getIpInfo.php"   first outside lookup: {"code": 0, "data": {"ip", "country_id"}}
//  GET  "/echo"                    address-echo page: "ip ok 203.0.113.9 from ..."
// Switches: garbage bodies, an enciphered single blank, silence (answers held back).
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "standin/HttpStandin.h"

namespace standin {

class GeoStandin {
 public:
  static constexpr const char* kTaobaoPath = "/service/getIpInfo.php";
  static constexpr const char* kEchoPath = "/echo";

  GeoStandin();
  bool start(int port = 0) { return server_.start(port); }
  void stop() { server_.stop(); }

  std::string serviceUrl() const { return server_.baseUrl() + "/"; }
  std::string taobaoUrl() const { return server_.baseUrl() + kTaobaoPath; }
  std::string echoUrl() const { return server_.baseUrl() + kEchoPath; }

  // The "data" object of the service's answer (default: country, city and ip filled).
  void setServiceData(nlohmann::json data);
  // Plain text the service enciphers instead of its JSON answer.
  void setServicePlaintext(std::optional<std::string> text);
  void setTaobaoAnswer(std::string body);
  void setEchoAnswer(std::string body);
  // Every route answers bytes that are neither an envelope nor JSON.
  void setGarbage(bool on);
  // The service answers an enciphered single blank.
  void setBlank(bool on);
  // No route answers until release() or stop().
  void setSilent(bool on) { server_.setHold(on); }

  HttpStandin& server() { return server_; }

  // What the routes answer; shared by the handlers and the switches.
  struct State {
    std::mutex mutex;
    nlohmann::json serviceData;
    std::optional<std::string> plaintext;
    std::string taobao;
    std::string echo;
    bool garbage = false;
    bool blank = false;
    State();
  };
  // Registers the three routes on a server (shared with the program).
  static void install(HttpStandin& server, std::shared_ptr<State> state);

 private:
  std::shared_ptr<State> state_ = std::make_shared<State>();
  HttpStandin server_;
};

}  // namespace standin
