#include "Galvent/Utils/GVNetworkMonitor.h"

#include "Galvent/Logger/GVLogger.h"
#include "platform/notifications/NotificationCenter.h"

void GVFakeReachabilitySource::start(Report report) {
  std::lock_guard lock(mutex_);
  report_ = std::move(report);
}

void GVFakeReachabilitySource::stop() {
  std::lock_guard lock(mutex_);
  report_ = nullptr;
}

void GVFakeReachabilitySource::report(int status) {
  Report report;
  {
    std::lock_guard lock(mutex_);
    report = report_;
  }
  if (report) report(status);
}

GVNetworkMonitor& GVNetworkMonitor::sharedInstance() {
  static GVNetworkMonitor* monitor = new GVNetworkMonitor();
  return *monitor;
}

void GVNetworkMonitor::setSource(std::shared_ptr<GVReachabilitySource> source) {
  std::lock_guard lock(mutex_);
  source_ = std::move(source);
}

void GVNetworkMonitor::setPoster(Poster poster) {
  std::lock_guard lock(mutex_);
  poster_ = std::move(poster);
}

void GVNetworkMonitor::monitorInterfaceChange() {
  std::shared_ptr<GVReachabilitySource> source;
  {
    std::lock_guard lock(mutex_);
    if (!source_) source_ = std::make_shared<GVRtnetlinkReachabilitySource>();
    source = source_;
  }
  source->start([this](int status) { reachabilityChanged(status); });
}

void GVNetworkMonitor::stopMonitoring() {
  std::shared_ptr<GVReachabilitySource> source;
  {
    std::lock_guard lock(mutex_);
    source = source_;
  }
  if (source) source->stop();
}

int GVNetworkMonitor::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

bool GVNetworkMonitor::WWANValid() const {
  std::lock_guard lock(mutex_);
  return WWANValid_;
}

bool GVNetworkMonitor::WiFiValid() const {
  std::lock_guard lock(mutex_);
  return WiFiValid_;
}

void GVNetworkMonitor::reset() {
  stopMonitoring();
  std::lock_guard lock(mutex_);
  status_ = GVReachabilityUnknown;
  WWANValid_ = WiFiValid_ = false;
  source_.reset();
  poster_ = nullptr;
}

void GVNetworkMonitor::reachabilityChanged(int status) {
  const char* post = nullptr;
  std::string line;
  Poster poster;
  {
    std::lock_guard lock(mutex_);
    const bool oldWWAN = WWANValid_, oldWiFi = WiFiValid_;
    const int oldStatus = status_;
    status_ = status;
    poster = poster_;
    if (status != GVReachabilityNotReachable) {
      WWANValid_ = status == GVReachabilityViaWWAN;
      WiFiValid_ = status == GVReachabilityViaWiFi;
      line = "Interface may changed, Is Wifi: " + std::to_string(WiFiValid_) +
             ", Is Cell: " + std::to_string(WWANValid_);
      // The first usable state after start (or after both were off) is not a change.
      const bool usableBefore = oldWiFi || oldWWAN;
      const bool changed =
          WiFiValid_ != oldWiFi || WWANValid_ != oldWWAN || oldStatus == GVReachabilityNotReachable;
      if (usableBefore && changed) post = GVNetworkInterfaceChanged;
    } else {
      line = "Interface may not reachable...";
      post = GVNetworkInterfaceNotReachable;
    }
  }
  GVLogInfo(line);
  if (!post) return;
  if (poster) {
    poster(post);
  } else {
    platform::notifications::NotificationCenter::defaultCenter().post(post);
  }
}
