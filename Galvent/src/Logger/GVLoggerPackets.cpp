// Packet lines described by the tunnel kit.
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Mazzle/MZIPv4Packet.h"

namespace {
// Describing is skipped entirely while packet lines are off.
bool packetLinesOn() {
  return GVFlag(GVTunnelOptions::currentOptions()->logInterceptPacket) &&
         GVLogger::logger() != nullptr;
}

std::string describe(std::span<const uint8_t> data, bool outgoing) {
  if (auto packet = MZIPv4Packet::packetWithData(data, outgoing)) return packet->description();
  return std::string(outgoing ? "-> " : "<- ") + "not an IPv4 packet, " +
         std::to_string(data.size()) + " bytes";
}
}  // namespace

void GVLogger::logOutgoingPacket(std::span<const uint8_t> packet, std::string_view note) {
  if (packetLinesOn()) logOutgoingPacket(std::string_view(describe(packet, true)), note);
}

void GVLogger::logIncomingPacket(std::span<const uint8_t> packet, std::string_view note) {
  if (packetLinesOn()) logIncomingPacket(std::string_view(describe(packet, false)), note);
}
