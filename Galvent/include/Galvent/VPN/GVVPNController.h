#pragma once
// Application side of the tunnel: owns the saved tunnel configuration, starts and stops the
// tunnel daemon, and wraps each start and stop in the service calls that open and close an
// acceleration. The service calls are the subclasses' (speedStart / speedStop); the base alone
// never starts a tunnel. Driven from the main queue; values arrive there.

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Galvent/Models/GVLaunchOptions.h"
#include "platform/netext/TunnelConnection.h"
#include "platform/netext/TunnelProviderManager.h"
#include "platform/reactive/Scheduler.h"
#include "platform/reactive/Signal.h"

template <class Session>
class GVVPNController : public std::enable_shared_from_this<GVVPNController<Session>> {
 public:
  using SessionPtr = std::shared_ptr<Session>;
  using ConnectionPtr = std::shared_ptr<platform::netext::TunnelConnection>;
  using WillLaunchBlock = std::function<void(const GVLaunchOptions&, const ConnectionPtr&)>;
  template <class T>
  using Signal = platform::reactive::Signal<T>;

  GVVPNController(std::string providerIdentifier, std::string serverAddress,
                  std::string serverDescription);
  virtual ~GVVPNController() = default;
  GVVPNController(const GVVPNController&) = delete;
  GVVPNController& operator=(const GVVPNController&) = delete;

  // Loads the saved configuration (keeping the first, removing the others) and, unless its
  // tunnel is connected, writes this controller's settings into it. Ends by posting
  // NEVPNStatusDidChangeNotification unless saving or reloading failed (then it logs).
  void loadVPNManagerPreferences();

  // After 1.0 s: speedStart, then the tunnel started with the launch options (carrying
  // tunnelOptions); the launch options once the daemon accepted the start. The session given is
  // kept as session().
  Signal<GVLaunchOptions> startSession(SessionPtr session,
                                       std::optional<GVTunnelOptions> tunnelOptions,
                                       WillLaunchBlock willLaunch = {});
  Signal<GVLaunchOptions> start();
  // Stops the tunnel at once; the signal, on subscription, reports the end 3.0 s later.
  Signal<nlohmann::json> stopSession(SessionPtr session);
  Signal<nlohmann::json> stop();

  // The service calls around a run; empty signals here.
  virtual Signal<GVLaunchOptions> speedStart(SessionPtr session);
  virtual Signal<nlohmann::json> speedStop(SessionPtr session);

  // The platform's numbering: 0 invalid ... 5 disconnecting.
  platform::netext::VpnStatus status() const;

  const std::string& providerIdentifier() const { return providerIdentifier_; }
  const std::string& serverAddress() const { return serverAddress_; }
  const std::string& serverDescription() const { return serverDescription_; }
  SessionPtr session() const { return session_; }
  platform::netext::TunnelProviderManager::Ptr manager() const { return manager_; }

  // Where the 1.0 s and 3.0 s delays run; the main-queue scheduler by default.
  void setScheduler(platform::reactive::SchedulerPtr scheduler) {
    scheduler_ = std::move(scheduler);
  }
  // How the connection starts the daemon (tests and the app's privileged runner).
  void setLaunchSettings(platform::netext::TunnelLaunchSettings settings);

 protected:
  ConnectionPtr connection();

 private:
  std::string providerIdentifier_;
  std::string serverAddress_;
  std::string serverDescription_;
  SessionPtr session_;
  platform::netext::TunnelProviderManager::Ptr manager_;
  platform::reactive::SchedulerPtr scheduler_;
  std::optional<platform::netext::TunnelLaunchSettings> launchSettings_;
};

struct GVTsSession;
struct GVQ5Session;
extern template class GVVPNController<GVTsSession>;
extern template class GVVPNController<GVQ5Session>;
