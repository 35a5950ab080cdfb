#include "standin/OlderService.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>

#include "PexaraAPI/PXACrypto.h"

namespace standin {

using nlohmann::json;

namespace {

constexpr const char* kLibraryFile = "/files/area_isp.txt";

const std::vector<std::string>& routeList() {
  static const std::vector<std::string> list = {
      "/q5client/parameters/startup", "/q5client/user/login",
      "/q5client/phone/verify-code",  "/q5client/rule/list",
      "/q5client/speed/end",          "/q5client/user/logout",
      "/q5client/user/heartbeat",     "/q5client/rule/area-isp-list",
      "/q5client/path/batch-report",  "/q5client/client-error-log/report",
      "/q5client/client-log/report"};
  return list;
}

json ok(json data) { return json{{"code", 0}, {"info", "ok"}, {"data", std::move(data)}}; }

}  // namespace

struct OlderService::Impl {
  mutable std::mutex mu;
  std::condition_variable cv;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<bool> stopping{false};
  unsigned releaseGeneration = 0;
  std::map<std::string, Script> scripts;
  std::map<std::string, std::vector<Script>> oneShots;
  std::map<std::string, Script> fileScripts;
  std::map<std::string, std::string> files;
  std::map<std::string, std::size_t> hits;
  std::vector<Request> requests;

  // Blocks a silent request until released or stopped.
  void holdSilent() {
    std::unique_lock lock(mu);
    unsigned gen = releaseGeneration;
    cv.wait(lock, [&] { return stopping.load() || releaseGeneration != gen; });
  }

  void sendScripted(const Script& script, const std::string& body, httplib::Response& res) {
    switch (script.mode) {
      case Mode::Silence:
        holdSilent();
        [[fallthrough]];
      case Mode::Drop:
        res.set_content_provider(64, "text/plain",
                                 [](size_t, size_t, httplib::DataSink&) { return false; });
        return;
      case Mode::EmptyBody:
        res.set_content("", "text/plain");
        return;
      case Mode::NoLength:
        res.set_chunked_content_provider(
            "application/octet-stream", [body](size_t offset, httplib::DataSink& sink) {
              if (offset >= body.size()) {
                sink.done();
                return true;
              }
              return sink.write(body.data() + offset, std::min<size_t>(body.size() - offset, 4096));
            });
        return;
      case Mode::Cut: {
        const size_t cut = std::min(script.cutAfter, body.size());
        res.set_content_provider(body.size(), "application/octet-stream",
                                 [body, cut](size_t offset, size_t, httplib::DataSink& sink) {
                                   if (offset >= cut) return false;  // closes with the length unmet
                                   return sink.write(body.data() + offset, cut - offset);
                                 });
        return;
      }
      case Mode::Trickle: {
        auto delay = script.delay;
        auto* self = this;
        res.set_chunked_content_provider(
            "text/plain", [self, body, delay](size_t offset, httplib::DataSink& sink) {
              if (self->stopping.load()) return false;
              if (offset >= body.size()) {
                sink.done();
                return true;
              }
              std::this_thread::sleep_for(delay);
              return sink.write(body.data() + offset, 1);
            });
        return;
      }
      default:
        res.set_content(body, "text/plain");
        return;
    }
  }
};

OlderService::OlderService() : impl_(std::make_unique<Impl>()) {}

OlderService::~OlderService() { stop(); }

std::vector<std::string> OlderService::paths() { return routeList(); }

std::string OlderService::address() const { return host_ + ":" + std::to_string(port_); }

std::string OlderService::sha1Hex(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha1(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

json OlderService::sampleAnswer(const std::string& path) const {
  if (path == "/q5client/parameters/startup") {
    return ok({{"version", "1.0.0"}, {"update_url", ""}});
  }
  if (path == "/q5client/user/login") {
    return ok({{"uid", 10001},
               {"username", "player"},
               {"expire_date", "2027-01-01 00:00:00"},
               {"package_id", 7},
               {"token", "tok-10001"}});
  }
  if (path == "/q5client/rule/list") {
    return ok({{"flow_id", 5001}, {"rules", json::array()}, {"entrance", json::array()}});
  }
  if (path == "/q5client/rule/area-isp-list") {
    std::string sha1;
    {
      std::lock_guard lock(impl_->mu);
      auto it = impl_->files.find(kLibraryFile);
      if (it != impl_->files.end()) sha1 = sha1Hex(it->second);
    }
    return ok({{"file", "http://" + address() + kLibraryFile}, {"sha1", sha1}});
  }
  return ok(json::object());
}

std::optional<std::pair<std::string, bool>> OlderService::splitBody(const std::string& body) {
  if (body.rfind("info=", 0) != 0) return std::nullopt;
  std::string rest = body.substr(5);
  static const std::string kJson = "&encrypt-type=pc-json";
  if (rest.size() >= kJson.size() &&
      rest.compare(rest.size() - kJson.size(), kJson.size(), kJson) == 0) {
    return std::make_pair(rest.substr(0, rest.size() - kJson.size()), true);
  }
  if (rest.find('&') != std::string::npos) return std::nullopt;
  return std::make_pair(rest, false);
}

bool OlderService::start(const std::string& host, int port) {
  host_ = host;
  impl_->stopping = false;
  impl_->server = std::make_unique<httplib::Server>();
  auto* impl = impl_.get();
  impl->server->Post(R"(/.*)", [this, impl](const httplib::Request& req, httplib::Response& res) {
    Request r;
    r.path = req.path;
    r.body = req.body;
    if (auto parts = splitBody(req.body)) {
      r.info = parts->first;
      r.json = parts->second;
      auto plain = PXACrypto::decryptedDataFromString(r.info);
      if (plain && !plain->empty()) r.payload = *plain;
    }
    Script script;
    {
      std::lock_guard lock(impl->mu);
      impl->requests.push_back(r);
      auto& shots = impl->oneShots[req.path];
      if (!shots.empty()) {
        script = shots.front();
        shots.erase(shots.begin());
      } else if (auto it = impl->scripts.find(req.path); it != impl->scripts.end()) {
        script = it->second;
      }
    }
    impl->cv.notify_all();
    bool known = false;
    for (const auto& p : routeList()) known = known || p == req.path;
    if (!known && !script.answer) {
      res.status = 404;
      res.set_content("not found", "text/plain");
      return;
    }
    json answer = script.answer ? *script.answer : sampleAnswer(req.path);
    std::string body;
    switch (script.mode) {
      case Mode::NoCode:
        answer.erase("code");
        body = PXACrypto::encryptedStringOfString(answer.dump());
        break;
      case Mode::Garbage:
        body = script.text.empty() ? std::string("<html>not scrambled</html>") : script.text;
        break;
      case Mode::ScrambledNonJson:
        body = PXACrypto::encryptedStringOfString(script.text.empty() ? "{not json" : script.text);
        break;
      case Mode::JsonArray:
        body = PXACrypto::encryptedStringOfString(json::array({answer}).dump());
        break;
      default:
        body = PXACrypto::encryptedStringOfString(answer.dump());
        break;
    }
    impl->sendScripted(script, body, res);
  });
  impl->server->Get(R"(/.*)", [impl](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::string> file;
    Script script;
    {
      std::lock_guard lock(impl->mu);
      ++impl->hits[req.path];
      auto it = impl->files.find(req.path);
      if (it != impl->files.end()) file = it->second;
      auto s = impl->fileScripts.find(req.path);
      if (s != impl->fileScripts.end()) script = s->second;
    }
    if (!file && script.mode == Mode::Answer) {
      res.status = 404;
      res.set_content("not found", "text/plain");
      return;
    }
    impl->sendScripted(script, file.value_or(""), res);
  });
  if (port == 0) {
    port_ = impl->server->bind_to_any_port(host.c_str());
    if (port_ <= 0) return false;
  } else {
    if (!impl->server->bind_to_port(host.c_str(), port)) return false;
    port_ = port;
  }
  impl->thread = std::thread([impl] { impl->server->listen_after_bind(); });
  // A stop before the loop runs would be lost and leave the thread listening for ever.
  while (!impl->server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void OlderService::stop() {
  if (!impl_->server) return;
  {
    std::lock_guard lock(impl_->mu);
    impl_->stopping = true;
  }
  impl_->cv.notify_all();
  impl_->server->stop();
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_->server.reset();
}

void OlderService::setScript(const std::string& path, Script script) {
  std::lock_guard lock(impl_->mu);
  impl_->scripts[path] = std::move(script);
}

void OlderService::setAnswer(const std::string& path, json answer) {
  Script s;
  s.answer = std::move(answer);
  setScript(path, std::move(s));
}

void OlderService::pushScript(const std::string& path, Script script) {
  std::lock_guard lock(impl_->mu);
  impl_->oneShots[path].push_back(std::move(script));
}

void OlderService::clearScripts() {
  std::lock_guard lock(impl_->mu);
  impl_->scripts.clear();
  impl_->oneShots.clear();
  impl_->fileScripts.clear();
}

void OlderService::releaseSilent() {
  {
    std::lock_guard lock(impl_->mu);
    ++impl_->releaseGeneration;
  }
  impl_->cv.notify_all();
}

void OlderService::putFile(const std::string& path, std::string bytes) {
  std::lock_guard lock(impl_->mu);
  impl_->files[path] = std::move(bytes);
}

void OlderService::setFileScript(const std::string& path, Script script) {
  std::lock_guard lock(impl_->mu);
  impl_->fileScripts[path] = std::move(script);
}

std::size_t OlderService::fileHits(const std::string& path) const {
  std::lock_guard lock(impl_->mu);
  auto it = impl_->hits.find(path);
  return it == impl_->hits.end() ? 0 : it->second;
}

std::vector<OlderService::Request> OlderService::requests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->requests;
}

std::vector<OlderService::Request> OlderService::requests(const std::string& path) const {
  std::lock_guard lock(impl_->mu);
  std::vector<Request> out;
  for (const auto& r : impl_->requests) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

std::optional<OlderService::Request> OlderService::lastRequest(const std::string& path) const {
  std::lock_guard lock(impl_->mu);
  for (auto it = impl_->requests.rbegin(); it != impl_->requests.rend(); ++it) {
    if (it->path == path) return *it;
  }
  return std::nullopt;
}

bool OlderService::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->requests.size() >= n; });
}

}  // namespace standin
