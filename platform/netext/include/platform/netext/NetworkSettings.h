#pragma once
// Network settings of a tunnel: the TUN address, routes into and around the tunnel, DNS and
// MTU; and the appliers that put them in place.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/netext/ControlMessage.h"

namespace platform::netext {

struct IPv4Route {
  std::string destinationAddress;
  std::string destinationSubnetMask;
  static IPv4Route defaultRoute() { return {"0.0.0.0", "0.0.0.0"}; }
  bool operator==(const IPv4Route&) const = default;
};

struct IPv4Settings {
  std::vector<std::string> addresses;
  std::vector<std::string> subnetMasks;
  std::vector<IPv4Route> includedRoutes;
  std::vector<IPv4Route> excludedRoutes;
};

struct DNSSettings {
  std::vector<std::string> servers;
  std::vector<std::string> matchDomains;
  bool matchDomainsNoSearch = false;
};

struct NetworkSettings {
  std::string tunnelRemoteAddress;
  std::optional<IPv4Settings> ipv4Settings;
  std::optional<DNSSettings> dnsSettings;
  std::optional<int64_t> mtu;
};

// Prefix length of a dotted mask; nothing for a mask that is not contiguous or not dotted.
std::optional<int> prefixLengthOfMask(const std::string& mask);

// Puts settings in place; nullptr removes what an earlier call put in place.
class NetworkSettingsApplier {
 public:
  virtual ~NetworkSettingsApplier() = default;
  virtual std::optional<ControlError> apply(const NetworkSettings* settings) = 0;
};

// Priority of the first of the tunnel's policy rules; they take three in a row, ahead of main.
constexpr uint32_t kRulePriority = 32760;
// The table that carries DNS into the tunnel: the one after the tunnel's table.
constexpr uint32_t dnsTableFor(uint32_t table) { return table + 1; }

// Applies to a TUN interface by rtnetlink: address, MTU, link up; a default route through the
// interface in its own table T, excluded routes as throw routes in T, the rule
// "not fwmark M lookup T", loose reverse-path filtering on the interface. With DNS settings, any
// unmarked UDP to port 53 is sent into the tunnel too, whatever resolver it is addressed to (a
// table T+1 holding only the default route through the interface). The resolver itself is left
// to a DnsConfigurator. Strict reverse-path filtering elsewhere would drop the answers to marked
// sockets, whose source routes into the TUN for unmarked packets: while applied, the
// connection-tracking mark of marked connections is put back on their answers (mangle table)
// and net.ipv4.conf.all.src_valid_mark is 1, so the check routes them as marked; the previous
// value is restored when cleared, and kept meanwhile in a file of root's under /run (named after
// the network namespace, mark and table) for removeTunnelPolicy after a crash. The device's queue
// is kept short (256 packets).
class RtnetlinkSettingsApplier : public NetworkSettingsApplier {
 public:
  RtnetlinkSettingsApplier(std::string interfaceName, uint32_t mark, uint32_t table);
  ~RtnetlinkSettingsApplier() override;
  std::optional<ControlError> apply(const NetworkSettings* settings) override;

 private:
  friend int removeTunnelPolicy(uint32_t mark, uint32_t table);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Removes what runs with this mark and table may have left behind after a crash: every policy
// rule of theirs, the routes of both tables and the mark rules of the mangle table; and puts
// net.ipv4.conf.all.src_valid_mark back to the value a run of theirs saved before it set it. 0, or
// the first -errno.
int removeTunnelPolicy(uint32_t mark, uint32_t table);

// Records every call as text lines, in order; refuses on demand. For tests.
class RecordingSettingsApplier : public NetworkSettingsApplier {
 public:
  std::optional<ControlError> apply(const NetworkSettings* settings) override;
  std::vector<std::string> lines;
  std::vector<std::optional<NetworkSettings>> calls;
  std::optional<ControlError> refuseWith;
};

}  // namespace platform::netext
