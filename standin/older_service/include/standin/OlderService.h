#pragma once
// Stand-in of the older HTTP service on loopback: form posts "info=<scrambled>" (optionally with
// "&encrypt-type=pc-json") in, scrambled JSON answers {"code", "info", "data"} out, plus GET of
// files (the area/ISP library) with a hit counter. Each route can be scripted to answer badly.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace standin {

class OlderService {
 public:
  enum class Mode {
    Answer,            // the scripted answer object (or the route's sample), scrambled
    NoCode,            // {"info", "data"} without "code", scrambled
    EmptyBody,         // 200 with no bytes
    Garbage,           // bytes sent unscrambled
    ScrambledNonJson,  // scrambled text that is not JSON
    JsonArray,         // a scrambled JSON array
    Silence,           // no answer until released or stopped
    Trickle,           // the scrambled answer one byte per delay
    Drop,              // the connection closes before any body
    NoLength,          // the whole body, chunked: no Content-Length
    Cut,               // announces the whole length, sends cutAfter bytes, closes
  };

  struct Script {
    Mode mode = Mode::Answer;
    std::optional<nlohmann::json> answer;  // whole answer object; none: the sample
    std::string text;                      // body of Garbage / ScrambledNonJson
    std::chrono::milliseconds delay{50};   // per byte for Trickle
    std::size_t cutAfter = 0;              // bytes sent by Cut
  };

  struct Request {
    std::string path;
    std::string body;                    // raw bytes as received
    std::string info;                    // the "info=" value, not form-decoded
    bool json = false;                   // "&encrypt-type=pc-json" was present
    std::optional<std::string> payload;  // unscrambled; none when it does not unscramble
  };

  OlderService();
  ~OlderService();
  OlderService(const OlderService&) = delete;
  OlderService& operator=(const OlderService&) = delete;

  // Binds host:port (0 picks a free port) and serves on its own threads.
  bool start(const std::string& host = "127.0.0.1", int port = 0);
  void stop();
  int port() const { return port_; }
  std::string address() const;  // "host:port", the form of the client's base domain

  // Every POST route served, in order.
  static std::vector<std::string> paths();
  // Sample answer of a route; the area/ISP answer names this server's library file.
  nlohmann::json sampleAnswer(const std::string& path) const;

  void setScript(const std::string& path, Script script);
  void setAnswer(const std::string& path, nlohmann::json answer);  // Mode::Answer
  // A one-shot script: used by the next request of the path, before the standing one.
  void pushScript(const std::string& path, Script script);
  void clearScripts();
  // Lets held (silent) requests go: they then end without an answer.
  void releaseSilent();

  // Files served by GET at the path; the area/ISP answer names "/files/area_isp.txt".
  void putFile(const std::string& path, std::string bytes);
  void setFileScript(const std::string& path, Script script);  // EmptyBody, Trickle, Silence, Drop,
                                                               // NoLength, Cut
  std::size_t fileHits(const std::string& path) const;
  static std::string sha1Hex(const std::string& bytes);

  std::vector<Request> requests() const;
  std::vector<Request> requests(const std::string& path) const;
  std::optional<Request> lastRequest(const std::string& path) const;
  bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // "info=<x>[&encrypt-type=pc-json]" split without form decoding; none for another form.
  static std::optional<std::pair<std::string, bool>> splitBody(const std::string& body);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string host_ = "127.0.0.1";
  int port_ = 0;
};

}  // namespace standin
