#include "standin/HttpStandin.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Bytes that no JSON parser accepts, including a stray NUL and invalid UTF-8.
constexpr char kGarbageBytes[] = "\x7f{\"code\":\x00\xff\xfe<html>not json";
const std::string kGarbage(kGarbageBytes, sizeof kGarbageBytes - 1);

}  // namespace

std::optional<std::string> Request::header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (sameName(k, name)) return v;
  }
  return std::nullopt;
}

Reply Reply::json(std::string body, int status) {
  Reply r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

Reply Reply::text(std::string body, std::string contentType, int status) {
  Reply r;
  r.status = status;
  r.body = std::move(body);
  r.contentType = std::move(contentType);
  return r;
}

struct HttpStandin::Impl {
  httplib::Server server;
  std::thread thread;
  mutable std::mutex mu;
  std::condition_variable cv;
  std::map<std::string, Handler> handlers;
  std::vector<Request> log;
  bool garbage = false;
  bool wrongType = false;
  std::optional<int> status;
  std::chrono::milliseconds slow{0};
  bool hold = false;
  uint64_t releaseGeneration = 0;
  size_t held = 0;
  bool stopping = false;

  void serve(const httplib::Request& in, httplib::Response& out) {
    Request r;
    r.method = in.method;
    r.path = in.path;
    auto q = in.target.find('?');
    if (q != std::string::npos) r.query = in.target.substr(q + 1);
    for (const auto& [k, v] : in.headers) r.headers.emplace_back(k, v);
    r.body = in.body;

    Handler handler;
    bool garbageNow, wrongTypeNow;
    std::optional<int> statusNow;
    std::chrono::milliseconds slowNow;
    {
      std::unique_lock<std::mutex> lock(mu);
      log.push_back(r);
      cv.notify_all();
      if (hold && !stopping) {
        uint64_t gen = releaseGeneration;
        ++held;
        cv.notify_all();
        cv.wait(lock, [&] { return stopping || releaseGeneration != gen; });
        --held;
      }
      auto it = handlers.find(r.path);
      if (it != handlers.end()) handler = it->second;
      garbageNow = garbage;
      wrongTypeNow = wrongType;
      statusNow = status;
      slowNow = slow;
    }
    if (slowNow.count() > 0) {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait_for(lock, slowNow, [&] { return stopping; });
    }

    Reply reply;
    if (statusNow) {
      reply = Reply::text("status " + std::to_string(*statusNow), "text/plain", *statusNow);
    } else if (garbageNow) {
      reply = Reply::json(kGarbage);
    } else if (wrongTypeNow) {
      reply = Reply::json("[\"unexpected\",1,null]");
    } else if (handler) {
      reply = handler(r);
    } else {
      reply = Reply::text("no handler for " + r.path, "text/plain", 404);
    }
    out.status = reply.status;
    for (const auto& [k, v] : reply.headers) out.set_header(k, v);
    out.set_content(reply.body, reply.contentType.c_str());
  }
};

HttpStandin::HttpStandin() : impl_(std::make_unique<Impl>()) {
  // Idle keep-alive connections hold stop() back until they time out; keep that short.
  impl_->server.set_keep_alive_timeout(1);
  auto h = [this](const httplib::Request& in, httplib::Response& out) { impl_->serve(in, out); };
  impl_->server.Get(".*", h);
  impl_->server.Post(".*", h);
  impl_->server.Put(".*", h);
  impl_->server.Patch(".*", h);
  impl_->server.Delete(".*", h);
  impl_->server.Options(".*", h);
}

HttpStandin::~HttpStandin() { stop(); }

bool HttpStandin::start(int port, const std::string& address) {
  if (impl_->thread.joinable()) return true;
  int bound = port == 0 ? impl_->server.bind_to_any_port(address)
                        : (impl_->server.bind_to_port(address, port) ? port : -1);
  if (bound <= 0) return false;
  address_ = address;
  port_ = bound;
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // The server's stop() only closes the socket of a running loop; wait until it runs, so that an
  // early stop cannot leave the loop blocked in accept.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!impl_->server.is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return impl_->server.is_running();
}

void HttpStandin::stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stopping = true;
    impl_->cv.notify_all();
  }
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string HttpStandin::hostPort() const { return address_ + ":" + std::to_string(port_); }
std::string HttpStandin::baseUrl() const { return "http://" + hostPort(); }

void HttpStandin::handle(const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->handlers[path] = std::move(handler);
}

std::vector<Request> HttpStandin::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->log;
}

size_t HttpStandin::requestCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->log.size();
}

void HttpStandin::clearLog() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->log.clear();
}

bool HttpStandin::waitForRequests(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->log.size() >= n; });
}

void HttpStandin::setGarbage(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->garbage = on;
}

void HttpStandin::setWrongType(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->wrongType = on;
}

void HttpStandin::setStatus(std::optional<int> s) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->status = s;
}

void HttpStandin::setSlow(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->slow = delay;
}

void HttpStandin::setHold(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->hold = on;
  if (!on) {
    ++impl_->releaseGeneration;
    impl_->cv.notify_all();
  }
}

void HttpStandin::release() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  ++impl_->releaseGeneration;
  impl_->cv.notify_all();
}

size_t HttpStandin::heldCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->held;
}

bool HttpStandin::waitForHeld(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->held >= n; });
}

namespace {

int usage(const char* program, const std::vector<ProgramOption>& options) {
  std::string line = std::string("usage: ") + program + " [--port N]";
  for (const auto& o : options) {
    line += " [" + o.name + (o.valueName.empty() ? "" : " " + o.valueName) + "]";
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  return 2;
}

}  // namespace

int runProgram(int argc, char** argv, const std::vector<ProgramOption>& options,
               const ProgramServer& server) {
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      long p = std::strtol(argv[++i], &end, 10);
      if (errno != 0 || end == argv[i] || *end != '\0' || p < 0 || p > 65535) {
        std::fprintf(stderr, "%s: bad port '%s'\n", argv[0], argv[i]);
        return 2;
      }
      port = static_cast<int>(p);
      continue;
    }
    auto option = std::find_if(options.begin(), options.end(),
                               [&](const ProgramOption& o) { return o.name == arg; });
    if (option == options.end()) return usage(argv[0], options);
    if (option->valueName.empty()) {
      if (!option->apply("")) return usage(argv[0], options);
    } else {
      if (i + 1 >= argc) return usage(argv[0], options);
      const char* value = argv[++i];
      if (!option->apply(value)) {
        std::fprintf(stderr, "%s: bad %s '%s'\n", argv[0], option->name.c_str(), value);
        return usage(argv[0], options);
      }
    }
  }
  // Block the stop signals in every thread, so that only sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::optional<std::string> address = server.start(port);
  if (!address) {
    std::fprintf(stderr, "%s: cannot listen on port %d\n", argv[0], port);
    return 1;
  }
  std::printf("listening on %s\n", address->c_str());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stopSignals, &sig);
  if (server.stop) server.stop();
  return 0;
}

int runProgram(int argc, char** argv, const std::function<void(HttpStandin&)>& setup) {
  HttpStandin standin;
  ProgramServer server;
  std::string address = "127.0.0.1";
  server.start = [&](int port) -> std::optional<std::string> {
    if (setup) setup(standin);
    if (!standin.start(port, address)) return std::nullopt;
    return standin.hostPort();
  };
  server.stop = [&] { standin.stop(); };
  const std::vector<ProgramOption> options{{"--address", "IPV4", [&](const std::string& v) {
                                              in_addr a{};
                                              if (::inet_pton(AF_INET, v.c_str(), &a) != 1)
                                                return false;
                                              address = v;
                                              return true;
                                            }}};
  return runProgram(argc, argv, options, server);
}

}  // namespace standin
