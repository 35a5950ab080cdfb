#pragma once
// Turns reachability changes of the machine's network into two notifications.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

inline constexpr const char* GVNetworkInterfaceChanged = "GVNetworkInterfaceChanged";
inline constexpr const char* GVNetworkInterfaceNotReachable = "GVNetworkInterfaceNotReachable";

// Reachability values: -1 unknown, 0 not reachable, 1 through a cellular (wwan) interface,
// 2 through any other interface.
enum GVReachabilityStatus : int {
  GVReachabilityUnknown = -1,
  GVReachabilityNotReachable = 0,
  GVReachabilityViaWWAN = 1,
  GVReachabilityViaWiFi = 2,
};

// Where reachability reports come from. Reports arrive on the main queue.
class GVReachabilitySource {
 public:
  using Report = std::function<void(int status)>;
  virtual ~GVReachabilitySource() = default;
  virtual void start(Report report) = 0;
  virtual void stop() = 0;
};

// Reports exactly what a test feeds it, on the caller's thread.
class GVFakeReachabilitySource : public GVReachabilitySource {
 public:
  void start(Report report) override;
  void stop() override;
  void report(int status);

 private:
  std::mutex mutex_;
  Report report_;
};

// Follows the default route of the main routing table through rtnetlink. The interface named by
// tunnelInterface is ignored (our own tunnel must not count as the network).
class GVRtnetlinkReachabilitySource : public GVReachabilitySource {
 public:
  explicit GVRtnetlinkReachabilitySource(std::string tunnelInterface = {},
                                         std::string sysClassNet = "/sys/class/net");
  ~GVRtnetlinkReachabilitySource() override;
  void start(Report report) override;
  void stop() override;

  // One reading of the current default route: the status it gives.
  int currentStatus() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class GVNetworkMonitor {
 public:
  static GVNetworkMonitor& sharedInstance();

  // Replaces the source (before monitorInterfaceChange); the default follows rtnetlink.
  void setSource(std::shared_ptr<GVReachabilitySource> source);
  // Starts the source's monitoring.
  void monitorInterfaceChange();
  void stopMonitoring();

  int status() const;
  bool WWANValid() const;
  bool WiFiValid() const;

  // Handles one reachability report (called by the source on the main queue).
  void reachabilityChanged(int status);

  // Back to the state at creation; for tests.
  void reset();

  // Replaces delivery through the default notification centre (nullptr restores it).
  using Poster = std::function<void(const std::string& name)>;
  void setPoster(Poster poster);

 private:
  GVNetworkMonitor() = default;
  mutable std::mutex mutex_;
  int status_ = GVReachabilityUnknown;
  bool WWANValid_ = false;
  bool WiFiValid_ = false;
  std::shared_ptr<GVReachabilitySource> source_;
  Poster poster_;
};
