#pragma once
// An engine sends calls. Subclasses implement processAPI (and their own shared instance).
#include <memory>

class TQAPI;

class TQAPIEngine {
 public:
  virtual ~TQAPIEngine() = default;
  // Sends the call; its outcome reaches the call's callbacks on the main queue.
  virtual void processAPI(const std::shared_ptr<TQAPI>& api) = 0;

  // The engine of calls that name none: it sends nothing and fails each call with
  // "<class> does not implement -processAPI:." in the local error domain.
  static TQAPIEngine& unimplementedEngine();
};
