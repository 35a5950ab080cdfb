#pragma once
// The one REST configuration of the process: base domains by key, global headers and handlers,
// time-out and the device identifier. Used from the main thread; creation is thread-safe.
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class TQAPI;

class TQAPIConfig {
 public:
  using HeaderMap = std::map<std::string, std::string>;
  using HeaderBuilder = std::function<void(HeaderMap& headers)>;
  using Handler = std::function<void(TQAPI& api)>;

  static TQAPIConfig& sharedInstance();

  TQAPIConfig() = default;
  TQAPIConfig(const TQAPIConfig&) = delete;
  TQAPIConfig& operator=(const TQAPIConfig&) = delete;

  const std::map<std::string, std::string>& context() const { return context_; }
  // Stores the value under the key; no value removes the key.
  void setConfigValue(std::optional<std::string> value, const std::string& key);
  std::optional<std::string> configValueForKey(const std::string& key) const;

  // The live header dictionary itself.
  HeaderMap& globalHeaders() { return globalHeaders_; }
  // Keeps the builder, runs it once on the headers, then posts "TQAPIConfigGlobalHeaderChanged".
  void setGlobalHeaderBuilder(HeaderBuilder builder);
  const HeaderBuilder& globalHeaderBuilder() const { return globalHeaderBuilder_; }
  // Sets (or, with no value, removes) one header and posts the notification; an empty key does
  // nothing.
  void setGlobalHeaderValue(std::optional<std::string> value, const std::string& key);

  const Handler& globalSuccessHandler() const { return globalSuccessHandler_; }
  void setGlobalSuccessHandler(Handler h) { globalSuccessHandler_ = std::move(h); }
  const Handler& globalFailedHandler() const { return globalFailedHandler_; }
  void setGlobalFailedHandler(Handler h) { globalFailedHandler_ = std::move(h); }

  bool useSSL() const { return useSSL_; }
  void setUseSSL(bool v) { useSSL_ = v; }
  float timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(float seconds) { timeoutInterval_ = seconds; }

  // The device identifier: the keychain item ("TsAPI", "userIdentify"), else ("TQAPI",
  // "userIdentify"), else a new upper-case UUID stored under "TQAPI". When storing fails the new
  // identifier is kept for the rest of the process, so every read still answers the same one.
  std::string userIdentify();

  // Back to a fresh configuration (tests).
  void reset();

 private:
  std::map<std::string, std::string> context_;
  HeaderMap globalHeaders_;
  HeaderBuilder globalHeaderBuilder_;
  Handler globalSuccessHandler_;
  Handler globalFailedHandler_;
  bool useSSL_ = false;
  float timeoutInterval_ = 60.0f;
  std::mutex identifyMutex_;
  std::optional<std::string> unsavedIdentify_;
};
