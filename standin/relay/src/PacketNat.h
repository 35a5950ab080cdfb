#pragma once
// Address translation of the relay's TUN mode. Each (client, inner source address) pair gets
// an address of its own from the TUN subnet; ports and ICMP identifiers stay as they are, so
// only addresses and the checksums that cover them change.

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "TunDevice.h"

namespace standin::relay {

// Replaces the source (or destination) address of a sound IPv4 packet and adjusts the IP
// checksum and, in a packet or first fragment, the TCP or UDP checksum (a UDP checksum of 0
// stays 0). False, with the packet unchanged, when the bytes are too short for the fields.
bool rewriteAddress(std::vector<uint8_t>& packet, bool source, uint32_t to);

class NatTable {
 public:
  struct Owner {
    sockaddr_in client{};  // where 401 frames for this address go
    std::string endpoint;  // "ip:port" of the relay pair the client last used
    uint32_t inner = 0;    // the client's inner source address
  };

  explicit NatTable(const Subnet& subnet) : subnet_(subnet) {}

  // The outside address of this client's inner source, allocated on first use; the client's
  // pair is updated each time. Nothing when the subnet has no free address left.
  std::optional<uint32_t> outside(const sockaddr_in& client, const std::string& clientText,
                                  const std::string& endpoint, uint32_t inner);
  const Owner* owner(uint32_t outside) const;

 private:
  Subnet subnet_;
  uint32_t next_ = 0;  // offset of the next unused host address
  std::map<std::pair<std::string, uint32_t>, uint32_t> byInner_;
  std::map<uint32_t, Owner> byOutside_;
};

}  // namespace standin::relay
