#include "Mazzle/MZRuleManager.h"

#include <mutex>

namespace {
std::mutex g_mutex;
std::shared_ptr<MZRuleManager> g_current;
}  // namespace

void MZRuleManager::setCurrentManager(std::shared_ptr<MZRuleManager> manager) {
  std::lock_guard lock(g_mutex);
  g_current = std::move(manager);
}

std::shared_ptr<MZRuleManager> MZRuleManager::currentManager() {
  std::lock_guard lock(g_mutex);
  if (!g_current) g_current = std::make_shared<MZRuleManager>();
  return g_current;
}

std::shared_ptr<MZAdapterFactory> MZRuleManager::matchSession(const MZConnectSession&) {
  return MZDirectAdapterFactory::shared();
}
