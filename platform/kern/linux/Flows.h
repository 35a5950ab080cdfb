// Socket filters on Linux: there are no socket hooks, so the filters' callbacks are rebuilt from
// each flow's first packets at the output queue, for the socket and process that own the flow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Owners.h"

namespace platform::kern::linux_backend {

// Called by the output queue before the IPv4 filter sees the packet. true when the packet's flow
// belongs to a socket the filters declined for good: its later packets need not be queued.
bool flows_on_output(const uint8_t* packet, size_t len);
// For the output queue's owner lookups off its thread (see OwnerLookup): the flow of a TCP or UDP
// packet; whether its socket and fate are known; the lookup itself, kept for the flow's first
// packet when it is decided.
bool flows_flow_key(const uint8_t* packet, size_t len, FlowKey* key);
bool flows_known(const FlowKey& key);
void flows_resolve(const uint8_t* packet, size_t len);
// Called for an answer handed to the input path: data in for an attached UDP socket.
void flows_on_injected(const uint8_t* packet, size_t len);
// The socket monitor checks the attached sockets once a second; this asks for a check now (a
// test then needn't wait for the period).
void monitor_check_now();

}  // namespace platform::kern::linux_backend
