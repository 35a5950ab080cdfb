#pragma once
// Keeps the area and ISP address library current: the service names the current file and its
// SHA-1; the file is downloaded only when the local copy differs, checked before it replaces the
// old one, and the rule store reloads it.
class IpPacketHelper {
 public:
  // True when the library is current and was reloaded; false when the address request or the
  // download failed (the old file and the loaded table stay). Blocks the calling thread.
  static bool updateIpPacket();
};
