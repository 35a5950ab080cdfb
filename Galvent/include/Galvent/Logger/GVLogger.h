#pragma once
// Logging facade of the tunnel engine. The host installs one logger; the option flags of the
// current tunnel options switch whole kinds of lines on and off.

#include <concepts>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace brevant {
struct dns_rule;
struct traffic_rule;
}  // namespace brevant

class GVLogger {
 public:
  virtual ~GVLogger() = default;

  // The base class drops every line.
  virtual void logInfo(const std::string& text);
  virtual void logWarn(const std::string& text);
  virtual void logError(const std::string& text);

  static void setLogger(std::shared_ptr<GVLogger> logger);
  // The installed logger while logEnable is on; null otherwise, so every line is dropped.
  static std::shared_ptr<GVLogger> logger();

  // Writes the exit reason into the group container (replacing the previous one).
  static void logVPNExitReason(std::string_view reason);
  // Whether a reason was written since the last clearExitReasonMark (the start of a run): a
  // generic stop must not replace the reason the run really ended for.
  static bool exitReasonWritten();
  static void clearExitReasonMark();

  // Rules arrive rendered by the rule kit; the text is cut at 255 bytes like its buffer.
  static void logAddDNSRule(std::string_view ruleText);
  static void logAddWhiteRule(std::string_view ruleText);
  static void logAddBlackRule(std::string_view ruleText);
  // The rule kit's rules, rendered by its own text functions.
  static void logAddDNSRule(const brevant::dns_rule& rule);
  static void logAddWhiteRule(const brevant::traffic_rule& rule);
  static void logAddBlackRule(const brevant::traffic_rule& rule);

  // Packets arrive as the description of the tunnel kit's packet object.
  static void logOutgoingPacket(std::string_view packetDescription, std::string_view note);
  static void logIncomingPacket(std::string_view packetDescription, std::string_view note);
  // Packet bytes, described by the tunnel kit's IPv4 packet object.
  static void logOutgoingPacket(std::span<const uint8_t> packet, std::string_view note);
  static void logIncomingPacket(std::span<const uint8_t> packet, std::string_view note);
  // The same, with the note built by note() only when the line is written.
  template <class Note>
  requires std::invocable<Note&>
  static void logOutgoingPacket(std::span<const uint8_t> packet, Note&& note) {
    if (packetLinesOn()) logOutgoingPacket(packet, std::string_view(note()));
  }
  template <class Note>
  requires std::invocable<Note&>
  static void logIncomingPacket(std::span<const uint8_t> packet, Note&& note) {
    if (packetLinesOn()) logIncomingPacket(packet, std::string_view(note()));
  }
  // Packet lines are wanted (the option is on and a logger is set); describing a packet is
  // skipped entirely otherwise.
  static bool packetLinesOn();
  // How many packet descriptions were built in this process, for tests of the hot path.
  static uint64_t packetTextsBuilt();

  static void logFlowGroupHeartbeatNote(std::string_view flowGroup, std::string_view note);
  static void logFlowGroupServerResp(std::string_view flowGroup, std::string_view resp);

  // Folder that holds one container folder per application group. Default: $XDG_DATA_HOME
  // (or ~/.local/share).
  static void setContainerRoot(std::filesystem::path root);
  static std::filesystem::path containerRoot();
  // How files under the container root are touched. The container belongs to the desktop user
  // while the tunnel process runs as root: the process installs an access that runs the work
  // with the user's file-system identity, so root never follows the user's links and the files
  // it makes stay the user's. Unset: the work runs as it is.
  using ContainerAccess = std::function<void(const std::function<void()>& work)>;
  static void setContainerAccess(ContainerAccess access);
  static void withContainerAccess(const std::function<void()>& work);
  // <containerRoot>/<group>/<errorFile> from the current options; empty when either name is
  // missing or is not a plain file name.
  static std::filesystem::path exitReasonPath();
};

// Shorthands that format nothing when no logger is active.
void GVLogInfo(const std::string& text);
void GVLogWarn(const std::string& text);
void GVLogError(const std::string& text);

// Remembers the current terminate handler and installs one that records uncaught exceptions.
void GVLoggerInstallUncaughtExceptionHandler();
// Writes the exception's text and the call stack as the exit reason.
void GVHandleException(std::exception_ptr exception);
