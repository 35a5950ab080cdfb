#include "gelmora/Services/MeasurementProtocolClient.h"

#include "gelmora/Core/Log.h"

MeasurementProtocolClient::MeasurementProtocolClient(Configuration config,
                                                     std::shared_ptr<tq::HttpTransport> transport)
    : config_(std::move(config)), transport_(std::move(transport)) {}

MeasurementProtocolClient::~MeasurementProtocolClient() {
  alive_.reset();
  if (task_) task_->cancel();
}

std::string MeasurementProtocolClient::formEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string MeasurementProtocolClient::formBody(const Pairs& hit) const {
  Pairs all = {{"v", "1"},
               {"tid", config_.trackingId},
               {"cid", cid_},
               {"an", config_.appName},
               {"av", config_.appVersion},
               {"ul", config_.userLanguage}};
  if (config_.screenSize) all.emplace_back("sr", config_.screenSize());
  all.insert(all.end(), hit.begin(), hit.end());
  std::string body;
  for (const auto& [k, v] : all) {
    if (!body.empty()) body += '&';
    body += formEncode(k) + '=' + formEncode(v);
  }
  return body;
}

void MeasurementProtocolClient::send(const Pairs& hit) {
  if (config_.refresh) config_.refresh(config_);
  if (config_.trackingId.empty() || config_.endpoint.empty() || !transport_) return;
  queue_.push_back(formBody(hit));
  if (queue_.size() == 1) sendNext();
}

void MeasurementProtocolClient::sendNext() {
  if (queue_.empty()) return;
  tq::HttpRequest request;
  request.method = "POST";
  request.url = config_.endpoint;
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  request.body = queue_.front();
  request.timeoutInterval = config_.timeoutInterval;
  std::weak_ptr<bool> alive = alive_;
  tq::HttpCallbacks callbacks;
  callbacks.completion = [this, alive](const tq::HttpResponse& response, const TQError& error) {
    if (alive.expired()) return;
    task_.reset();
    if (error) {
      gelmora::logLine("analytics hit dropped: " + error.description);
    } else if (response.status < 200 || response.status > 299) {
      gelmora::logLine("analytics hit dropped: HTTP " + std::to_string(response.status));
    }
    if (!queue_.empty()) queue_.pop_front();
    sendNext();
  };
  task_ = transport_->start(std::move(request), std::move(callbacks));
}
