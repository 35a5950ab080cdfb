#pragma once
// The engine of REST calls: builds the URL, snapshots the request on the calling thread, sends it
// through the session manager's transport and hands the answer to the call on the main queue.
#include <platform/dispatch/Queue.h>

#include <memory>
#include <optional>
#include <string>

#include "Tovra/REST/HttpTransport.h"
#include "Tovra/REST/TQAPIEngine.h"
#include "Tovra/REST/TQSerializers.h"

class TQRestAPI;

// What the engine sends through: transport, serialisers, the headers it adds and the queue the
// outcomes arrive on (null: the main queue).
struct TQSessionManager {
  std::shared_ptr<tq::HttpTransport> transport;
  std::shared_ptr<tq::TQRequestSerializer> requestSerializer;
  std::shared_ptr<tq::TQResponseSerializer> responseSerializer;
  // Header fields of the request serialiser: a copy of the global headers, refreshed by
  // updateHeaderValues (so a removed global header is no longer sent).
  tq::HttpHeaders headers;
  double timeoutInterval = 60.0;
  platform::dispatch::QueuePtr completionQueue;

  // Transport CurlTransport::shared(), JSON serialisers.
  static std::shared_ptr<TQSessionManager> makeDefault();
};

class TQRestEngine : public TQAPIEngine {
 public:
  static TQRestEngine& sharedEngine();

  TQRestEngine();
  ~TQRestEngine() override;
  TQRestEngine(const TQRestEngine&) = delete;
  TQRestEngine& operator=(const TQRestEngine&) = delete;

  // The session manager; a default one (JSON serialisers) is made on first use.
  std::shared_ptr<TQSessionManager> manager();
  void setManager(std::shared_ptr<TQSessionManager> m);

  // Copies the current global headers into the manager's header fields.
  virtual void updateHeaderValues();

  // Hooks: the host (optionally with a port) and a root path beginning with "/".
  virtual std::optional<std::string> baseDomain() const { return std::nullopt; }
  virtual std::optional<std::string> rootPath() const { return std::nullopt; }

  void processAPI(const std::shared_ptr<TQAPI>& api) override;

  // The URL of a call by the rules of baseDomain, rootPath and useSSL; nothing when none can be
  // built.
  std::optional<std::string> urlFor(const TQRestAPI& api) const;

 protected:
  std::shared_ptr<TQSessionManager> manager_;

 private:
  struct Observer;
  std::shared_ptr<Observer> observer_;
};
