#pragma once
// HttpTransport on libcurl: one multi handle driven by one worker thread. Redirects are followed
// and compressed answers accepted.
#include <cstddef>
#include <functional>
#include <memory>

#include "Tovra/REST/HttpTransport.h"

namespace tq {

class CurlTransport : public HttpTransport, public std::enable_shared_from_this<CurlTransport> {
 public:
  // Runs on each new socket before it connects; false fails the request (the tunnel daemon marks
  // its sockets here).
  using SocketHook = std::function<bool(int fd)>;

  static constexpr size_t kDefaultBodyCap = 8u << 20;

  CurlTransport();
  ~CurlTransport() override;

  // The transport shared by the engines of this process.
  static std::shared_ptr<CurlTransport> shared();

  // Both take effect for requests started afterwards.
  void setSocketHook(SocketHook hook);
  void setBodyCap(size_t bytes);

  std::shared_ptr<HttpTask> start(HttpRequest request, HttpCallbacks callbacks) override;

  struct Impl;  // worker state, shared with the tasks it hands out

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace tq
