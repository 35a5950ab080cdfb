#include "Brevant/DomainTable.h"

namespace brevant {

DomainTable::DomainTable(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

void DomainTable::record(uint32_t addr, std::string_view domain) {
  std::lock_guard lock(mutex_);
  auto it = index_.find(addr);
  if (it != index_.end()) {
    if (it->second->second != domain) generation_.fetch_add(1, std::memory_order_acq_rel);
    it->second->second.assign(domain);
    order_.splice(order_.begin(), order_, it->second);
    return;
  }
  if (index_.size() >= capacity_) {
    index_.erase(order_.back().first);
    order_.pop_back();
  }
  order_.emplace_front(addr, std::string(domain));
  generation_.fetch_add(1, std::memory_order_acq_rel);
  index_.emplace(addr, order_.begin());
}

std::string DomainTable::lookup(uint32_t addr) const {
  std::lock_guard lock(mutex_);
  auto it = index_.find(addr);
  if (it == index_.end()) return {};
  order_.splice(order_.begin(), order_, it->second);
  return it->second->second;
}

size_t DomainTable::size() const {
  std::lock_guard lock(mutex_);
  return index_.size();
}

}  // namespace brevant
