#pragma once
// Saved tunnel-provider configurations of the application. All configurations live in one JSON
// file ($XDG_CONFIG_HOME/galvent/tunnels.json unless another path is set), replaced atomically.
// Completions run on the main queue, as the callers of the manager expect.

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/netext/ControlMessage.h"
#include "platform/netext/VpnStatus.h"

namespace platform::netext {

class TunnelConnection;

struct TunnelProviderProtocol {
  std::string providerBundleIdentifier;
  std::string serverAddress;
  bool operator==(const TunnelProviderProtocol&) const = default;
};

// One saved configuration as it is stored; the codec of the preferences file.
struct SavedTunnelConfiguration {
  std::string identifier;
  std::optional<TunnelProviderProtocol> protocol;
  std::string localizedDescription;
  bool enabled = false;
  bool onDemandEnabled = false;
  bool operator==(const SavedTunnelConfiguration&) const = default;
};

// Reads the preferences file's text. Anything but the expected shape is refused whole, with the
// reason in `error`.
std::optional<std::vector<SavedTunnelConfiguration>> decodeTunnelPreferences(
    std::string_view text, ControlError* error = nullptr);
std::string encodeTunnelPreferences(const std::vector<SavedTunnelConfiguration>& configurations);

class TunnelProviderManager : public std::enable_shared_from_this<TunnelProviderManager> {
 public:
  using Ptr = std::shared_ptr<TunnelProviderManager>;
  using ErrorCompletion = std::function<void(std::optional<ControlError>)>;
  using LoadAllCompletion = std::function<void(std::vector<Ptr>, std::optional<ControlError>)>;

  // A new, unsaved configuration.
  static Ptr create();

  // Every saved configuration, in saved order. An unreadable or corrupt file counts as none
  // (the reason is logged); the next save replaces it.
  static void loadAllFromPreferences(LoadAllCompletion completion);

  // Writes this configuration (added, or replacing the saved one of the same identifier).
  void saveToPreferences(ErrorCompletion completion);
  void removeFromPreferences(ErrorCompletion completion);
  // Re-reads this configuration from the file; an error when it is no longer saved.
  void loadFromPreferences(ErrorCompletion completion);

  const std::optional<TunnelProviderProtocol>& protocolConfiguration() const;
  void setProtocolConfiguration(std::optional<TunnelProviderProtocol> protocol);
  const std::string& localizedDescription() const;
  void setLocalizedDescription(std::string description);
  bool enabled() const;
  void setEnabled(bool on);
  bool onDemandEnabled() const;
  void setOnDemandEnabled(bool on);
  const std::string& identifier() const;

  // The connection of this configuration's daemon; made on first use.
  std::shared_ptr<TunnelConnection> connection();

  // Where the configurations are kept; an empty path restores the default.
  static void setPreferencesPath(std::string path);
  static std::string preferencesPath();

  explicit TunnelProviderManager(SavedTunnelConfiguration configuration);

 private:
  void refreshConnection();

  SavedTunnelConfiguration config_;
  std::shared_ptr<TunnelConnection> connection_;
};

}  // namespace platform::netext
