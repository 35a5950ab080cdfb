#include "standin/FrontStandin.h"

#include <httplib.h>

#include <atomic>
#include <thread>

namespace standin {

namespace {

// The value of one field of a form body, undecoded ("mobile" is never escaped).
std::optional<std::string> formField(const std::string& body, const std::string& name) {
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name) return eq == std::string::npos ? "" : pair.substr(eq + 1);
    start = end + 1;
  }
  return std::nullopt;
}

std::pair<std::string, int> splitHostPort(const std::string& hostPort) {
  const size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) return {hostPort, 80};
  return {hostPort.substr(0, colon), std::atoi(hostPort.c_str() + colon + 1)};
}

}  // namespace

struct FrontStandin::Impl {
  std::string account, older;
  httplib::Server server;
  std::thread thread;
  std::atomic<size_t> accountCount{0}, olderCount{0};

  void forward(const httplib::Request& req, httplib::Response& res) {
    const bool toAccount = FrontStandin::forAccount(req.method, req.body);
    (toAccount ? accountCount : olderCount)++;
    auto [host, port] = splitHostPort(toAccount ? account : older);
    httplib::Client client(host, port);
    client.set_connection_timeout(5);
    client.set_read_timeout(30);
    std::string target = req.path;
    if (!req.params.empty()) {
      target += "?" + httplib::detail::params_to_query_str(req.params);
    }
    httplib::Headers headers;
    for (const auto& [name, value] : req.headers) {
      if (name == "Host" || name == "Content-Length" || name == "Content-Type" ||
          name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
          name == "LOCAL_PORT")
        continue;
      headers.emplace(name, value);
    }
    const std::string type = req.get_header_value("Content-Type");
    httplib::Result r = req.method == "POST"
                            ? client.Post(target, headers, req.body,
                                          type.empty() ? "application/x-www-form-urlencoded" : type)
                            : client.Get(target, headers);
    if (!r) {
      res.status = 502;
      res.set_content("back end unreachable", "text/plain");
      return;
    }
    res.status = r->status;
    const std::string replyType = r->get_header_value("Content-Type");
    res.set_content(r->body, replyType.empty() ? "application/octet-stream" : replyType);
  }
};

FrontStandin::FrontStandin(std::string accountHostPort, std::string olderHostPort)
    : impl_(std::make_unique<Impl>()) {
  impl_->account = std::move(accountHostPort);
  impl_->older = std::move(olderHostPort);
}

FrontStandin::~FrontStandin() { stop(); }

bool FrontStandin::forAccount(const std::string& method, const std::string& body) {
  return method == "POST" && formField(body, "mobile") == std::optional<std::string>("mobile");
}

bool FrontStandin::start(int port) {
  Impl* impl = impl_.get();
  auto handler = [impl](const httplib::Request& req, httplib::Response& res) {
    impl->forward(req, res);
  };
  impl->server.Post(R"(/.*)", handler);
  impl->server.Get(R"(/.*)", handler);
  port_ = port == 0 ? impl->server.bind_to_any_port("127.0.0.1")
                    : (impl->server.bind_to_port("127.0.0.1", port) ? port : -1);
  if (port_ <= 0) {
    port_ = 0;
    return false;
  }
  impl->thread = std::thread([impl] { impl->server.listen_after_bind(); });
  return true;
}

void FrontStandin::stop() {
  if (!impl_) return;
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string FrontStandin::hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
size_t FrontStandin::accountCount() const { return impl_->accountCount; }
size_t FrontStandin::olderCount() const { return impl_->olderCount; }

}  // namespace standin
