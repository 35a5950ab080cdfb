#pragma once
// Decides for every outgoing IP packet whether it is dropped, passed down or carried through a
// flow group; counts tunnelled traffic, keeps traffic records, hands reassembled incoming packets
// to its delegate and runs the 120-second service heartbeat. The variants (Pexara, Ombrix) build
// its flow-group and rule managers and override its hooks.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Brevant/Records.h"
#include "Galvent/Models/GVTrafficRecord.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Galvent/Tunnel/Base/Flow/GVFlowGroupDelegate.h"
#include "Galvent/Tunnel/Base/Flow/GVFlowGroupManager.h"
#include "Galvent/Tunnel/Base/GVPacketProxyDelegate.h"
#include "Galvent/Tunnel/Base/Rule/GVPacketRuleManager.h"
#include "Tovra/Base/TQConstants.h"
#include "platform/dispatch/Timer.h"
#include "platform/notifications/NotificationCenter.h"

// GVTrafficGroupWhite, GVTrafficGroupBlack and GVTrafficGroupByPass come with GVTrafficRecord.h.

// Posted on the default centre, on the main queue, one second after the service ended the user's
// session; the object is the TQError. The provider ends the tunnel on it.
PLATFORM_NOTIFICATION_NAME(GVPacketProxyServerKickOff);

// A route the provider sets up beside the tunnel.
struct GVRoute {
  std::string address;
  std::string mask;
  bool operator==(const GVRoute&) const = default;
};

class GVPacketProxy : public GVFlowGroupDelegate,
                      public std::enable_shared_from_this<GVPacketProxy> {
 public:
  // Most traffic records kept; later new records are dropped (one warning).
  static constexpr size_t kMaxTrafficRecords = 10000;
  // Flows whose verdict is kept (a newer flow with the same hash slot takes the place).
  static constexpr size_t kFlowCacheSize = 4096;
  static constexpr int64_t kHeartBeatIntervalSeconds = 120;

  // The proxy of the product named by the start options (a JSON object as GVLaunchOptions
  // reads it), with its delegate set; null when they carry no session or do not map. Installs
  // the options' tunnel options and the service's base domain.
  static std::shared_ptr<GVPacketProxy> packetProxyWith(
      const nlohmann::json& options, std::weak_ptr<GVPacketProxyDelegate> delegate);

  ~GVPacketProxy() override;
  GVPacketProxy(const GVPacketProxy&) = delete;
  GVPacketProxy& operator=(const GVPacketProxy&) = delete;

  void setDelegate(std::weak_ptr<GVPacketProxyDelegate> delegate);
  std::shared_ptr<GVPacketProxyDelegate> delegate() const;

  bool reportLog() const { return reportLog_.load(); }
  void setReportLog(bool on) { reportLog_ = on; }
  uint32_t clientIP() const { return clientIP_; }
  bool autoProxyDNS() const { return autoProxyDNS_; }

  uint64_t rxBytes() const { return rxBytes_.load(); }
  uint64_t txbytes() const { return txbytes_.load(); }
  uint64_t rxPackets() const { return rxPackets_.load(); }
  uint64_t txPackets() const { return txPackets_.load(); }
  // A copy, in insertion order; safe from any thread.
  std::vector<GVTrafficRecord> trafficRecords() const;
  // Packets classified from a kept verdict and packets that took the full match (tests).
  uint64_t flowCacheHits() const { return flowCacheHits_.load(); }
  uint64_t flowCacheMisses() const { return flowCacheMisses_.load(); }

  GVFlowGroupManager* flowManager() const { return flowManager_.get(); }
  GVPacketRuleManager* ruleManager() const { return ruleManager_.get(); }

  // One outgoing IP packet from the stack: true when consumed (sent into a flow group or
  // dropped), false when the stack is to pass the packet down unchanged.
  bool inputPacket(std::span<const uint8_t> packet);
  // True when a packet of this flow is known to go down unchanged (the verdict kept for its flow
  // says so; nothing is matched or recorded here): a TCP packet larger than the MTU may then go
  // down whole. False says nothing: the packet is to be offered in plain segments.
  bool passesDown(std::span<const uint8_t> packet);

  // Main queue: start every flow group (this proxy their delegate) and the service heartbeat;
  // stop does the reverse.
  virtual void start();
  virtual void stop();

  // Hooks of the variants.
  virtual bool processPacket(std::span<const uint8_t> packet,
                             const brevant::ip_session_info& session, uint64_t flowKeyId);
  virtual void doHeartBeat();
  virtual std::vector<GVRoute> blackRoutes() const { return {}; }
  virtual std::vector<GVRoute> whiteRoutes() const { return {}; }

  // Flow group delegate.
  void flowPacket(std::vector<uint8_t> packet, GVFlowGroup& fromFlowGroup) override;
  void finishResolving(const GVResolveResultItem& result, GVFlowGroup& fromFlowGroup) override;
  void flowGroupFaildResolving(GVFlowGroup& group) override;
  void finishResolvingWithAllResults(const std::vector<GVResolveResultItem>& results,
                                     GVFlowGroup& fromFlowGroup) override;

  std::vector<uint8_t> upgradeEDNSIfNeeded(std::vector<uint8_t> packet) const;
  // Case-sensitive substring tests against the current options' lists; an empty entry never
  // matches.
  static bool matchDNSRejectDomain(std::string_view domain);
  static bool matchHttpProxyDomain(std::string_view domain);
  void recordSession(const brevant::ip_session_info& session, const std::string& group);
  // One incoming packet from a flow group: reassembled when a fragment, checked, checksummed,
  // counted, DNS answers processed, then handed to the delegate.
  void processIncomingIPPacket(std::span<const uint8_t> packet);
  void processIncomingIPv4Packet(std::vector<uint8_t> packet);

  // Process queue.
  void startHeartBeat();
  void stopHeartBeat();

  // Posts GVPacketProxyServerKickOff with the error one second from now on the main queue, after
  // writing the exit reason.
  static void kickOffLater(const std::string& callDescription, const TQError& error);

  // The shared GVLogReport gets one upload stream per process: true for the first caller.
  static bool claimLogStream();
  // Forgets the claim (tests that start several proxies in one process).
  static void resetLogStreamClaim();

 protected:
  // clientIPText: the session's client address (empty or bad: 0).
  explicit GVPacketProxy(const std::optional<std::string>& clientIPText);

  std::unique_ptr<GVFlowGroupManager> flowManager_;
  std::unique_ptr<GVPacketRuleManager> ruleManager_;
  bool autoProxyDNS_ = false;

 private:
  // What classify decided for a flow, kept so that the flow's next packets skip the match.
  enum class Verdict : uint8_t { kMiss, kBlack, kWhite, kBypass, kDrop, kPassDown };
  struct FlowKey {
    uint32_t src = 0, dst = 0;
    uint16_t srcPort = 0, dstPort = 0;
    uint8_t protocol = 0;
    bool operator==(const FlowKey&) const = default;
  };
  struct CachedFlow {
    bool used = false;
    FlowKey key;
    // The rules, learned names and options the verdict was reached with.
    uint64_t rulesGeneration = 0, domainsGeneration = 0;
    std::shared_ptr<const GVTunnelOptions> options;
    size_t slot = 0;
    Verdict verdict = Verdict::kBypass;
    uint64_t flowKeyId = 0;
    brevant::ip_session_info session;
  };
  struct RecordKey {
    std::string group, domain, protocol;
    uint32_t destIP = 0;
    uint16_t port = 0, areaId = 0;
    bool operator==(const RecordKey&) const = default;
  };
  struct RecordKeyHash {
    size_t operator()(const RecordKey& k) const;
  };

  enum class Lookup { kNotIPv4, kUncached, kMiss, kHit };
  // The kept verdict of the packet's flow (in stamp.verdict, with its group and, when asked, its
  // session); stamp also says where a new verdict is to be kept.
  Lookup lookUp(std::span<const uint8_t> packet, CachedFlow& stamp,
                brevant::ip_session_info* session, uint64_t& flowKeyId);
  bool classify(std::span<const uint8_t> packet);
  // stamp: where and under which rules the verdict is to be kept; null keeps nothing.
  bool classifyFully(std::span<const uint8_t> packet, const CachedFlow* stamp);
  bool applyVerdict(Verdict verdict, std::span<const uint8_t> packet,
                    const brevant::ip_session_info& session, uint64_t flowKeyId);
  void remember(const CachedFlow* stamp, Verdict verdict, const brevant::ip_session_info& session,
                uint64_t flowKeyId);
  static std::atomic<bool>& logStreamClaimed();

  mutable std::mutex delegateMutex_;
  std::weak_ptr<GVPacketProxyDelegate> delegate_;
  std::atomic<bool> reportLog_{false};
  uint32_t clientIP_ = 0;
  std::atomic<uint64_t> rxBytes_{0}, txbytes_{0}, rxPackets_{0}, txPackets_{0};

  mutable std::mutex recordsMutex_;
  std::vector<GVTrafficRecord> trafficRecords_;
  std::unordered_set<RecordKey, RecordKeyHash> trafficRecordKeys_;
  bool recordsCapWarned_ = false;

  std::mutex flowCacheMutex_;
  std::vector<CachedFlow> flowCache_;
  std::atomic<uint64_t> flowCacheHits_{0}, flowCacheMisses_{0};

  std::mutex timerMutex_;
  platform::dispatch::Timer timer_;
};
