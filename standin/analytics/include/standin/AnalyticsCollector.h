#pragma once
// The analytics collector as the client sees it: POST form bodies on "/collect", answered with
// an empty 200. Every hit is decoded and kept, in the order it arrived.
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "standin/HttpStandin.h"

namespace standin {

struct AnalyticsHit {
  std::string body;                                        // as received
  std::vector<std::pair<std::string, std::string>> pairs;  // decoded, in order
  std::map<std::string, std::string> params;               // decoded, last value wins

  // The value of a parameter, or nothing.
  std::optional<std::string> get(const std::string& key) const;
};

class AnalyticsCollector {
 public:
  static constexpr const char* kPath = "/collect";

  AnalyticsCollector();
  bool start(int port = 0) { return server_.start(port); }
  void stop() { server_.stop(); }
  // "http://127.0.0.1:<port>/collect".
  std::string url() const { return server_.baseUrl() + kPath; }

  std::vector<AnalyticsHit> hits() const;
  void clear();
  HttpStandin& server() { return server_; }

  static void install(HttpStandin& server, AnalyticsCollector* owner);
  // "a=b%20c&d" -> {("a", "b c"), ("d", "")}; "+" is a blank; bad escapes stay as they are.
  static std::vector<std::pair<std::string, std::string>> decodeForm(const std::string& body);

 private:
  mutable std::mutex mutex_;
  std::vector<AnalyticsHit> hits_;
  HttpStandin server_;
};

}  // namespace standin
