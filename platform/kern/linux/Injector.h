// Answers handed to the input path: written to a TUN device, so that they arrive as if from the
// network and pass the input chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::kern::linux_backend {

class Injector {
 public:
  Injector() = default;
  ~Injector();
  Injector(const Injector&) = delete;
  Injector& operator=(const Injector&) = delete;

  // Creates the device, gives it its link-local address, brings it up and loosens the reverse
  // path check (on it, and on "all" when that is strict, to be restored at close).
  int open();
  void close();
  // 0 or the errno of the write.
  int inject(const uint8_t* packet, size_t len);

 private:
  int fd_ = -1;
  std::string saved_all_rp_filter_;  // set when we changed it
  std::string note_;                 // where that is noted, or empty
};

}  // namespace platform::kern::linux_backend
