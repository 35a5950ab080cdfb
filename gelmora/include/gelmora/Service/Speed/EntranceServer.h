#pragma once
// An entrance relay of the tunnel: its address, the UDP ports the service offers, and the port
// and delay its probe chose. The probe sends type-100 frames and takes the first port, in random
// order, that answers with a valid type-101 frame within the probe time-out.
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

class EntranceServer {
 public:
  static constexpr std::int32_t kNoDelay = 3000;

  const std::string& ip() const { return ip_; }
  void setIp(std::string v) { ip_ = std::move(v); }
  // As the service sent them: numbers or numeric texts.
  const nlohmann::json& portArray() const { return portArray_; }
  void setPortArray(nlohmann::json v) { portArray_ = std::move(v); }
  std::uint16_t port() const { return port_; }
  void setPort(std::uint16_t v) { port_ = v; }
  std::int32_t delay() const { return delay_; }
  void setDelay(std::int32_t v) { delay_ = v; }

  // The chosen port, 0 when none answered (delay then 3000). Blocks up to the probe time-out
  // per port tried.
  std::uint16_t SelectEntrancePort();
  bool IsEqualToEntrance(const EntranceServer& other) const {
    return ip_ == other.ip_ && port_ == other.port_;
  }

  // The type-100 request as sent: header and the compact JSON {"token":"0"}.
  static std::vector<std::uint8_t> portProbeFrame();
  // At least 8 bytes, a length field equal to the size and the type 101.
  static bool isPortProbeReply(std::span<const std::uint8_t> datagram);
  // A port from the list: a number or whole decimal text within 1..65535; 0 otherwise.
  static std::uint16_t portValue(const nlohmann::json& v);

  // The draw of the next port (a 32-bit number, taken modulo the list size). Tests fix it; an
  // empty function restores the system's random source.
  static void setRandomSource(std::function<std::uint32_t()> source);
  // Probes one port in place of the UDP exchange: the delay in ms, or none when the port stays
  // silent. Lets the rule-list fuzz target run without sockets; an empty function restores UDP.
  using PortProber =
      std::function<std::optional<std::int32_t>(const std::string& ip, std::uint16_t port)>;
  static void setPortProber(PortProber prober);

 private:
  // Records the chosen port and its delay.
  std::uint16_t take(std::uint16_t port, std::int32_t delay);

  std::string ip_;
  nlohmann::json portArray_ = nlohmann::json::array();
  std::uint16_t port_ = 0;
  std::int32_t delay_ = 0;
};
