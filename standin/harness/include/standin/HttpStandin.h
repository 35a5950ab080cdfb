#pragma once
// A small HTTP server on 127.0.0.1 for tests and stand-in programs: per-path handlers, a log of
// every request, and switches that make it answer badly.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace standin {

struct Request {
  std::string method;
  std::string path;   // without the query
  std::string query;  // raw, without "?"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // raw bytes

  // The first header of that name (case-insensitive), or nothing.
  std::optional<std::string> header(const std::string& name) const;
};

struct Reply {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;

  static Reply json(std::string body, int status = 200);
  static Reply text(std::string body, std::string contentType = "text/plain", int status = 200);
};

using Handler = std::function<Reply(const Request&)>;

class HttpStandin {
 public:
  HttpStandin();
  ~HttpStandin();
  HttpStandin(const HttpStandin&) = delete;
  HttpStandin& operator=(const HttpStandin&) = delete;

  // Binds 127.0.0.1:port (0 picks a free port) and serves on its own thread. False when the port
  // cannot be bound.
  bool start(int port = 0, const std::string& address = "127.0.0.1");
  // Releases held requests, stops serving and joins the thread. Safe to call twice.
  void stop();

  int port() const { return port_; }
  // "127.0.0.1:<port>", the form the engines take as a base domain.
  std::string hostPort() const;
  // "http://127.0.0.1:<port>".
  std::string baseUrl() const;

  // Answers requests to the exact path with any method; a later handler for the same path
  // replaces the earlier one. Unknown paths answer 404.
  void handle(const std::string& path, Handler handler);

  // Every request received, in order (switches apply after logging).
  std::vector<Request> requests() const;
  size_t requestCount() const;
  void clearLog();
  // Waits (real time, a guard against hangs) until at least n requests were logged.
  bool waitForRequests(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Switches; each stays until changed.
  void setGarbage(bool on);                       // 200, JSON content type, bytes that are not JSON
  void setWrongType(bool on);                     // 200, a JSON array where an object is expected
  void setStatus(std::optional<int> s);           // this status with a short text body
  void setSlow(std::chrono::milliseconds delay);  // wait this long before answering (0 = off)
  void setHold(bool on);                          // keep answers back until release() or stop()
  // Lets every held request answer now.
  void release();
  // Requests waiting in hold.
  size_t heldCount() const;
  // Waits (real time, a guard against hangs) until at least n requests are held.
  bool waitForHeld(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  std::string address_ = "127.0.0.1";
};

// A stand-in program's own option: "--name VALUE", or a bare flag when it takes no value. apply
// answers false for a value it cannot use, which ends the program with its usage (status 2).
struct ProgramOption {
  std::string name;       // "--group"
  std::string valueName;  // what the value stands for in the usage line; empty for a flag
  std::function<bool(const std::string& value)> apply;
};

// What a stand-in program serves. start binds the port given (0 = ephemeral) and answers the
// "host:port" it listens on, or nothing when it cannot bind; stop ends serving.
struct ProgramServer {
  std::function<std::optional<std::string>(int port)> start;
  std::function<void()> stop;
};

// Entry of every stand-in program, so that they all take "--port N" (0 = ephemeral, the default)
// and announce themselves alike: parses the options, starts the server, prints
// "listening on <host:port>" when ready and serves until SIGINT or SIGTERM. Returns the process
// exit status: 0 after a signal, 1 when the server cannot start, 2 for bad arguments.
int runProgram(int argc, char** argv, const std::vector<ProgramOption>& options,
               const ProgramServer& server);

// The same for an HttpStandin on 127.0.0.1 (or the IPv4 address of "--address IP"), whose
// handlers setup registers before it starts.
int runProgram(int argc, char** argv, const std::function<void(HttpStandin&)>& setup);

}  // namespace standin
