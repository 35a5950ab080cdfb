#include "Brevant/DnsRedirectTable.h"

namespace brevant {

DnsRedirectTable::DnsRedirectTable(Clock clock, size_t capacity,
                                   std::chrono::steady_clock::duration lifetime)
    : clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      capacity_(capacity == 0 ? 1 : capacity),
      lifetime_(lifetime) {}

void DnsRedirectTable::expire(std::chrono::steady_clock::time_point now) {
  while (!order_.empty() && order_.front().expires <= now) {
    index_.erase(order_.front().key);
    order_.pop_front();
  }
}

void DnsRedirectTable::remember(uint32_t client, uint16_t port, uint16_t id,
                                uint32_t original_dst) {
  auto now = clock_();
  std::lock_guard lock(mutex_);
  expire(now);
  Key key{client, port, id};
  if (auto it = index_.find(key); it != index_.end()) {
    order_.erase(it->second);
    index_.erase(it);
  }
  if (index_.size() >= capacity_) {
    index_.erase(order_.front().key);
    order_.pop_front();
  }
  order_.push_back({key, original_dst, now + lifetime_});
  index_.emplace(key, std::prev(order_.end()));
}

std::optional<uint32_t> DnsRedirectTable::take(uint32_t client, uint16_t port, uint16_t id) {
  auto now = clock_();
  std::lock_guard lock(mutex_);
  expire(now);
  auto it = index_.find(Key{client, port, id});
  if (it == index_.end()) return std::nullopt;
  uint32_t dst = it->second->original_dst;
  order_.erase(it->second);
  index_.erase(it);
  return dst;
}

size_t DnsRedirectTable::size() const {
  std::lock_guard lock(mutex_);
  return index_.size();
}

}  // namespace brevant
