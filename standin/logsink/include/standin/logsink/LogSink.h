#pragma once
// Stand-in log host: a TCP server on loopback that splits the stream on "\r\n", unscrambles each
// line and records the lines in arrival order. Switches make it misbehave.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace standin::logsink {

struct Switches {
  bool refuseConnections = false;          // no listener: connects are refused
  std::optional<size_t> closeAfterBytes;   // close each connection after this many bytes
  std::chrono::milliseconds readDelay{0};  // pause before each small read (a slow reader)
};

struct Line {
  std::string text;    // the unscrambled line, or the raw line when it does not unscramble
  bool valid = false;  // unscrambled to a non-empty text
  int connection = 0;  // 1 for the first accepted connection, and so on
};

class LogSink {
 public:
  // Listens on host:port (port 0 picks a free one).
  explicit LogSink(std::string host = "127.0.0.1", uint16_t port = 0);
  ~LogSink();
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;

  uint16_t port() const { return port_; }
  void setSwitches(const Switches& s);

  std::vector<Line> lines() const;
  std::vector<std::string> texts() const;
  int connections() const;
  // Closes every open connection now (the listener stays).
  void closeConnections();
  // Waits (real time, as a guard against hangs) until `count` lines arrived.
  bool waitForLines(size_t count, std::chrono::milliseconds timeout) const;
  bool waitForConnections(int count, std::chrono::milliseconds timeout) const;

 private:
  void acceptLoop();
  void serve(int fd, int number);

  std::string host_;
  uint16_t port_ = 0;
  int listenFd_ = -1;
  int stopFd_ = -1;
  int wakeFd_ = -1;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Switches switches_;
  std::vector<Line> lines_;
  std::vector<int> open_;
  int connections_ = 0;
  bool stopping_ = false;
  std::thread acceptThread_;
  std::vector<std::thread> clients_;
};

}  // namespace standin::logsink
