// Socket filters on Linux: there are no socket hooks, so the filters' callbacks are rebuilt from
// each flow's first packets at the output queue, for the socket and process that own the flow.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::kern::linux_backend {

// Called by the output queue before the IPv4 filter sees the packet. true when the packet's flow
// belongs to a socket the filters declined for good: its later packets need not be queued.
bool flows_on_output(const uint8_t* packet, size_t len);
// Called for an answer handed to the input path: data in for an attached UDP socket.
void flows_on_injected(const uint8_t* packet, size_t len);
// The socket monitor checks the attached sockets once a second; this asks for a check now (a
// test then needn't wait for the period).
void monitor_check_now();

}  // namespace platform::kern::linux_backend
