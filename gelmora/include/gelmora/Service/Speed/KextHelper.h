#pragma once
// The application's one client of the traffic filter's control: opens the connection, runs the
// reader thread that answers path requests (option 4000) and sums the traffic reports, and sends
// the two live updates (stream limit 4031, entrance server 4032). Process-wide state, class
// operations only.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/reactive/Error.h"

// What the filter is told for one flow-group offset.
struct KextPathAnswer {
  std::string entranceIp;
  std::uint16_t port = 0;
  std::string exitAddr;  // "A-B"
  std::string exitNat;   // as stored (Base64 text)
};

class KextHelper {
 public:
  static constexpr long long kErrorNotResolved = 17154;
  static constexpr long long kErrorRefused = 17155;
  static constexpr std::size_t kRecordBuffer = 1024;

  // The rule store's side: the best path of an offset (none when no exit has it), the stream
  // limit of the last rule list, and where the traffic totals go.
  using PathLookup = std::function<std::optional<KextPathAnswer>(std::uint32_t offset)>;
  using StreamLimitSource = std::function<std::uint32_t()>;
  using TrafficSink = std::function<void(std::int64_t up, std::int64_t down)>;
  struct Hooks {
    PathLookup path;
    StreamLimitSource streamLimit;
    TrafficSink traffic;
  };
  static void setHooks(Hooks hooks);

  // Sets one option: 0 or the errno of the filter or of the transport (EBADF when closed).
  using OptionSink = std::function<int(int name, const void* data, std::size_t len)>;

  // Connects to the control (closing an open connection first) and starts the reader thread.
  static bool openKextConnection();
  // Ends the reader, waits for it and closes the connection. Harmless when nothing is open.
  static void unloadMessagePipe();
  static bool isConnected();
  // Called on the reader thread when the connection ends without being asked to (the filter
  // went away); not for an end that unloadMessagePipe caused. Empty: only logged.
  static void setConnectionLostHandler(std::function<void()> handler);
  static int setOption(int name, const void* data, std::size_t len);
  // The error of the last failed open; empty before the first failure.
  static platform::reactive::Error getLastError();

  // Both halves are clamped to 0..65535; sent only when the combined value changed.
  static void UpdateStreamLimit(std::int64_t up, std::int64_t down);
  // Sent for offsets 0..16 when address or port changed; remembered once an offset took it.
  static void UpdateEntranceIP(const std::string& address, std::uint32_t port);

  // One record exactly as read. Malformed records are logged and skipped.
  struct Totals {
    std::int64_t up = 0;
    std::int64_t down = 0;
  };
  static void dispatchRecord(const std::uint8_t* data, std::size_t len, Totals& totals,
                             const OptionSink& sink);

  // Forgets the remembered stream limit and entrance (tests).
  static void resetUpdates();
};
