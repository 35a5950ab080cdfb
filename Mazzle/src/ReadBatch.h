#pragma once
// Buffers for reading up to kReadBatch datagrams with one recvmmsg call. Each buffer holds any
// datagram (frames around the largest IPv4 packet included). Kept per thread by the readers:
// every socket read on one loop shares the same set.
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mazzle {

struct ReadBatch {
  static constexpr unsigned kReadBatch = 16;
  static constexpr std::size_t kDatagramSize = 65536;

  std::vector<uint8_t> storage = std::vector<uint8_t>(kReadBatch * kDatagramSize);
  iovec iov[kReadBatch];
  mmsghdr msgs[kReadBatch];
  ReadBatch() {
    for (unsigned i = 0; i < kReadBatch; ++i) {
      iov[i] = {storage.data() + i * kDatagramSize, kDatagramSize};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
  }
};

}  // namespace mazzle
