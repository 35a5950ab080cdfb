#pragma once
// Sends analytics hits as Measurement Protocol form posts on the REST engine's HTTP transport:
// v=1, tid, cid, an, av, ul, sr (only with a screen-size provider), then the hit's own pairs.
// Hits leave one at a time, in the order given; a failed hit is logged and dropped. Without a
// property identifier or an endpoint no hit is sent. Main thread only.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Tovra/REST/HttpTransport.h"

class MeasurementProtocolClient {
 public:
  using Pairs = std::vector<std::pair<std::string, std::string>>;

  struct Configuration {
    std::string trackingId;  // tid
    std::string endpoint;    // collection URL
    std::string appName = "gelmora";
    std::string appVersion;
    std::string userLanguage;
    // "WIDTHxHEIGHT" of the screen; no provider leaves "sr" out.
    std::function<std::string()> screenSize;
    double timeoutInterval = 30.0;
    // Called before each hit is built, so settings installed after set-up (brand environment,
    // language) still reach the hit; may be empty.
    std::function<void(Configuration&)> refresh;
  };

  MeasurementProtocolClient(Configuration config, std::shared_ptr<tq::HttpTransport> transport);
  ~MeasurementProtocolClient();
  MeasurementProtocolClient(const MeasurementProtocolClient&) = delete;
  MeasurementProtocolClient& operator=(const MeasurementProtocolClient&) = delete;

  // The client id every hit carries (fixed once at set-up).
  void setUserIdentifier(std::string cid) { cid_ = std::move(cid); }
  const std::string& userIdentifier() const { return cid_; }
  void setScreenSizeProvider(std::function<std::string()> provider) {
    config_.screenSize = std::move(provider);
  }

  void send(const Pairs& hitParameters);
  // Hits waiting or on the wire.
  size_t pendingCount() const { return queue_.size(); }

  // The form body of one hit ("a=b&c=d", values percent-encoded as UTF-8 bytes).
  std::string formBody(const Pairs& hitParameters) const;
  static std::string formEncode(const std::string& text);

 private:
  void sendNext();

  Configuration config_;
  std::shared_ptr<tq::HttpTransport> transport_;
  std::string cid_;
  std::deque<std::string> queue_;  // form bodies; the front one is on the wire
  std::shared_ptr<tq::HttpTask> task_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
