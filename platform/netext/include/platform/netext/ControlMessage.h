#pragma once

// Messages between the app and the tunnel daemon over its control socket.
//
// Wire format: a Unix SOCK_SEQPACKET socket; every datagram is one UTF-8 JSON object of at
// most kMaxControlMessageSize bytes, with no framing of its own.
//
// App to daemon (requests):
//   {"cmd":"start","options":{...}}      start the tunnel with these options (object, may be {})
//   {"cmd":"stop","reason":N}            stop the tunnel; N is the stop reason (integer >= 0)
//   {"cmd":"message","data":"<base64>"}  a provider message; answered by one reply
//   {"cmd":"status"}                     asks for the current status; answered by a status event
//
// Daemon to app:
//   {"status":0..5,"error":{"domain":S,"code":N,"description":S}|null}
//                                        status event; sent on every change and on request
//   {"reply":"<base64>"|null}            answer to one "message" request, in request order
//   {"error":{"domain":S,"code":N,"description":S}}
//                                        a request was refused (bad JSON, bad types, too big);
//                                        the connection stays open
//
// Unknown keys are ignored so either side may add fields later.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace platform::netext {

inline constexpr std::size_t kMaxControlMessageSize = 1u << 20;

// Same numbers as the status the app's tunnel controllers expect.
enum class VpnStatus : int {
  Invalid = 0,
  Disconnected = 1,
  Connecting = 2,
  Connected = 3,
  Reasserting = 4,
  Disconnecting = 5,
};

struct ControlError {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
  bool operator==(const ControlError&) const = default;
};

// Error domain of refusals made by the codec and the control server themselves.
inline constexpr const char* kControlErrorDomain = "platform.netext.control";

enum class ControlCommand { Start, Stop, Message, Status };

struct ControlRequest {
  ControlCommand cmd = ControlCommand::Status;
  nlohmann::json options = nlohmann::json::object();  // Start only; always an object
  std::int64_t reason = 0;                            // Stop only
  std::string data;                                   // Message only; raw bytes

  static ControlRequest start(nlohmann::json options);
  static ControlRequest stop(std::int64_t reason);
  static ControlRequest message(std::string data);
  static ControlRequest status();
};

enum class DaemonMessageKind { Status, Reply, Error };

struct DaemonMessage {
  DaemonMessageKind kind = DaemonMessageKind::Status;
  VpnStatus status = VpnStatus::Invalid;  // Status
  std::optional<ControlError> error;      // Status (optional) and Error (always set)
  std::optional<std::string> reply;       // Reply; nothing means a null reply

  static DaemonMessage statusEvent(VpnStatus status, std::optional<ControlError> error = {});
  static DaemonMessage replyMessage(std::optional<std::string> reply);
  static DaemonMessage errorMessage(ControlError error);
};

std::string encodeRequest(const ControlRequest& request);
std::string encodeDaemonMessage(const DaemonMessage& message);

// Both decoders refuse anything but a well-typed object within the size bound; on refusal they
// give nothing and, when asked, the reason.
std::optional<ControlRequest> decodeRequest(std::string_view bytes, ControlError* error = nullptr);
std::optional<DaemonMessage> decodeDaemonMessage(std::string_view bytes,
                                                 ControlError* error = nullptr);

}  // namespace platform::netext
