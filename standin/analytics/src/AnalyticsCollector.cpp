#include "standin/AnalyticsCollector.h"

namespace standin {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> AnalyticsHit::get(const std::string& key) const {
  auto it = params.find(key);
  if (it == params.end()) return std::nullopt;
  return it->second;
}

AnalyticsCollector::AnalyticsCollector() { install(server_, this); }

std::vector<std::pair<std::string, std::string>> AnalyticsCollector::decodeForm(
    const std::string& body) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string item = body.substr(start, end - start);
    if (!item.empty()) {
      size_t eq = item.find('=');
      if (eq == std::string::npos) {
        out.emplace_back(unescape(item), "");
      } else {
        out.emplace_back(unescape(item.substr(0, eq)), unescape(item.substr(eq + 1)));
      }
    }
    start = end + 1;
  }
  return out;
}

void AnalyticsCollector::install(HttpStandin& server, AnalyticsCollector* owner) {
  server.handle(kPath, [owner](const Request& request) {
    if (request.method != "POST") return Reply::text("POST only", "text/plain", 405);
    AnalyticsHit hit;
    hit.body = request.body;
    hit.pairs = decodeForm(request.body);
    for (const auto& [k, v] : hit.pairs) hit.params[k] = v;
    if (owner) {
      std::lock_guard lock(owner->mutex_);
      owner->hits_.push_back(std::move(hit));
    }
    return Reply::text("", "image/gif");
  });
}

std::vector<AnalyticsHit> AnalyticsCollector::hits() const {
  std::lock_guard lock(mutex_);
  return hits_;
}

void AnalyticsCollector::clear() {
  std::lock_guard lock(mutex_);
  hits_.clear();
}

}  // namespace standin
