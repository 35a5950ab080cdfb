// Client end of the filter's control: connect by name, options, blocking record reads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace platform::kctl {

// Path of the control socket for a control name; ENOENT unless it exists and is a socket.
int resolve(const std::string& name, std::string* path);

class Client {
 public:
  Client() = default;
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // 0 or an errno (ECONNREFUSED when another client holds the control, EACCES when this user may
  // not connect). A probe connects, gets its answer and leaves at once.
  int connect(const std::string& path, bool probe = false);
  // Both answer the filter's errno for the option, or the transport's.
  int setOption(int level, int name, const void* data, size_t len);
  // *len: size of buf (its bytes go out as input) in, bytes handed back out.
  int getOption(int level, int name, void* buf, size_t* len);
  // One record; its length, 0 once the connection ended or was closed, -errno on error. A
  // record longer than cap is cut to cap.
  long readRecord(void* buf, size_t cap);
  // Ends the connection; a readRecord blocked on another thread returns 0.
  void close();
  uint32_t unit() const { return unit_; }
  bool connected() const { return record_fd_ >= 0; }

 private:
  int option_call(const void* req, size_t req_len, void* reply_buf, size_t reply_cap,
                  size_t* reply_len);

  int record_fd_ = -1;
  int option_fd_ = -1;
  uint32_t unit_ = 0;
  std::mutex option_mutex_;  // option calls one at a time
  std::mutex state_mutex_;
  std::condition_variable readers_gone_;
  int readers_ = 0;
  bool closing_ = false;
};

}  // namespace platform::kctl
