#include "Galvent/VPN/GVVPNController.h"

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVQ5Session.h"
#include "Galvent/Models/GVTsSession.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/notifications/NotificationCenter.h"

namespace {

using platform::netext::ControlError;
using platform::netext::NEVPNStatusDidChangeNotification;
using platform::netext::TunnelProviderManager;
using platform::reactive::Disposable;
using platform::reactive::SerialDisposable;
using platform::reactive::SubscriberPtr;

TQError toError(const ControlError& e) { return TQError{e.domain, e.code, e.description, {}}; }

std::string describe(const ControlError& e) {
  return "Error Domain=" + e.domain + " Code=" + std::to_string(e.code) + " \"" + e.description +
         "\"";
}

// One queue for every controller's launches: they wait on other processes, never on the main
// queue, and one start is over before the next begins.
const std::shared_ptr<platform::dispatch::SerialQueue>& launchQueue() {
  static auto queue = std::make_shared<platform::dispatch::SerialQueue>("galvent.tunnel-launch");
  return queue;
}

TQError noSession() {
  return TQError{TQAPILocalErrorDomain, 1001, "no session to start or stop the tunnel with", {}};
}

}  // namespace

template <class Session>
GVVPNController<Session>::GVVPNController(std::string providerIdentifier, std::string serverAddress,
                                          std::string serverDescription)
    : providerIdentifier_(std::move(providerIdentifier)),
      serverAddress_(std::move(serverAddress)),
      serverDescription_(std::move(serverDescription)) {}

template <class Session>
void GVVPNController<Session>::setLaunchSettings(platform::netext::TunnelLaunchSettings settings) {
  launchSettings_ = std::move(settings);
  if (manager_) manager_->connection()->setLaunchSettings(*launchSettings_);
}

template <class Session>
typename GVVPNController<Session>::ConnectionPtr GVVPNController<Session>::connection() {
  if (!manager_) manager_ = TunnelProviderManager::create();
  auto c = manager_->connection();
  if (launchSettings_) c->setLaunchSettings(*launchSettings_);
  return c;
}

template <class Session>
platform::netext::VpnStatus GVVPNController<Session>::status() const {
  if (!manager_) return platform::netext::VpnStatus::Invalid;
  return manager_->connection()->status();
}

template <class Session>
void GVVPNController<Session>::loadVPNManagerPreferences() {
  std::weak_ptr<GVVPNController> weak = this->weak_from_this();
  // The first load's error is not looked at: no configurations is the same outcome.
  TunnelProviderManager::loadAllFromPreferences(
      [weak](std::vector<TunnelProviderManager::Ptr> managers, std::optional<ControlError>) {
        auto self = weak.lock();
        if (!self) return;
        if (!managers.empty()) {
          self->manager_ = managers.front();
          for (size_t i = 1; i < managers.size(); ++i) managers[i]->removeFromPreferences({});
        } else if (!self->manager_) {
          self->manager_ = TunnelProviderManager::create();
        }
        auto manager = self->manager_;
        auto connection = self->connection();
        if (connection->status() == platform::netext::VpnStatus::Connected) {
          platform::notifications::NotificationCenter::defaultCenter().post(
              NEVPNStatusDidChangeNotification, connection);
          return;
        }
        manager->setProtocolConfiguration(platform::netext::TunnelProviderProtocol{
            self->providerIdentifier_, self->serverAddress_});
        manager->setLocalizedDescription(self->serverDescription_);
        manager->setEnabled(true);
        manager->setOnDemandEnabled(false);
        manager->saveToPreferences([weak, manager](std::optional<ControlError> error) {
          if (error) {
            GVLogError("Error when saveToPreferencesWithCompletionHandler: " + describe(*error));
            return;
          }
          manager->loadFromPreferences([weak, manager](std::optional<ControlError> error) {
            if (error) {
              GVLogError("Error when load VPN Preferences " + describe(*error));
              return;
            }
            auto self = weak.lock();
            if (!self) return;
            platform::notifications::NotificationCenter::defaultCenter().post(
                NEVPNStatusDidChangeNotification, self->connection());
          });
        });
      });
}

template <class Session>
platform::reactive::Signal<GVLaunchOptions> GVVPNController<Session>::startSession(
    SessionPtr session, std::optional<GVTunnelOptions> tunnelOptions, WillLaunchBlock willLaunch) {
  session_ = session;
  std::weak_ptr<GVVPNController> weak = this->weak_from_this();
  auto scheduler = scheduler_ ? scheduler_ : platform::reactive::Scheduler::mainThread();
  return Signal<GVLaunchOptions>::create([weak, session, tunnelOptions, willLaunch,
                                          scheduler](const SubscriberPtr<GVLaunchOptions>& s) {
    if (!session) {
      s->sendError(noSession());
      return Disposable::disposed();
    }
    SerialDisposable inner;
    inner.set(scheduler->after(
        std::chrono::seconds(1), [weak, session, tunnelOptions, willLaunch, s, inner] {
          auto self = weak.lock();
          if (!self) {
            s->sendError(TQError{TQAPILocalErrorDomain, 0, "the tunnel controller is gone", {}});
            return;
          }
          // Set once a launch is under way: the launch, not speedStart's end, completes.
          auto launching = std::make_shared<bool>(false);
          inner.set(self->speedStart(session).subscribe(
              {[weak, tunnelOptions, willLaunch, s, launching](const GVLaunchOptions& value) {
                 auto self = weak.lock();
                 if (!self) return;
                 *launching = true;
                 GVLaunchOptions options = value;
                 options.tunnelOptions = tunnelOptions;
                 auto connection = self->connection();
                 if (willLaunch) willLaunch(options, connection);
                 // The launch may wait for an elevation dialog and for the daemon: it runs off
                 // the main queue, which sees "connecting" first and the outcome after the
                 // statuses the launch published.
                 connection->announceConnecting();
                 launchQueue()->async([connection, options, s, json = tq::toDictionary(options)] {
                   auto error = connection->startVPNTunnel(json);
                   platform::dispatch::postToMain([error, options, s] {
                     if (error) {
                       s->sendError(toError(*error));
                       return;
                     }
                     s->sendNext(options);
                     s->sendCompleted();
                   });
                 });
               },
               [s](const TQError& e) { s->sendError(e); },
               [s, launching] {
                 if (!*launching) s->sendCompleted();
               }}));
        }));
    return inner.asDisposable();
  });
}

template <class Session>
platform::reactive::Signal<GVLaunchOptions> GVVPNController<Session>::start() {
  return startSession(session_, std::nullopt);
}

template <class Session>
platform::reactive::Signal<nlohmann::json> GVVPNController<Session>::stopSession(
    SessionPtr session) {
  session_ = session;
  // The tunnel stops now, whether or not anybody subscribes to the report.
  connection()->stopVPNTunnel();
  if (!session) return Signal<nlohmann::json>::error(noSession());
  std::weak_ptr<GVVPNController> weak = this->weak_from_this();
  auto scheduler = scheduler_ ? scheduler_ : platform::reactive::Scheduler::mainThread();
  return Signal<nlohmann::json>::create(
      [weak, session, scheduler](const SubscriberPtr<nlohmann::json>& s) {
        SerialDisposable inner;
        inner.set(scheduler->after(std::chrono::seconds(3), [weak, session, s, inner] {
          auto self = weak.lock();
          if (!self) {
            s->sendCompleted();
            return;
          }
          inner.set(self->speedStop(session).subscribeWith(s));
        }));
        return inner.asDisposable();
      });
}

template <class Session>
platform::reactive::Signal<nlohmann::json> GVVPNController<Session>::stop() {
  return stopSession(session_);
}

template <class Session>
platform::reactive::Signal<GVLaunchOptions> GVVPNController<Session>::speedStart(SessionPtr) {
  return Signal<GVLaunchOptions>::empty();
}

template <class Session>
platform::reactive::Signal<nlohmann::json> GVVPNController<Session>::speedStop(SessionPtr) {
  return Signal<nlohmann::json>::empty();
}

template class GVVPNController<GVTsSession>;
template class GVVPNController<GVQ5Session>;
