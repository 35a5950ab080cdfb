#pragma once
// Chooses the adapter factory for each TCP connection of the tunnel. The base sends every
// connection straight to its destination.

#include <memory>

#include "Mazzle/MZAdapter.h"

class MZRuleManager {
 public:
  virtual ~MZRuleManager() = default;
  static void setCurrentManager(std::shared_ptr<MZRuleManager> manager);
  // The installed manager; a base manager when none is installed.
  static std::shared_ptr<MZRuleManager> currentManager();

  virtual std::shared_ptr<MZAdapterFactory> matchSession(const MZConnectSession& session);
};
