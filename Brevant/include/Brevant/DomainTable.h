#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace brevant {

// Address-to-domain table learned from DNS answers. Bounded: when full, the entry used
// least recently goes. Safe to use from several threads.
class DomainTable {
 public:
  static constexpr size_t kDefaultCapacity = 65536;

  explicit DomainTable(size_t capacity = kDefaultCapacity);

  void record(uint32_t addr, std::string_view domain);
  // "" when the address was never learned (or has been pushed out).
  std::string lookup(uint32_t addr) const;
  size_t size() const;
  size_t capacity() const { return capacity_; }
  // Changes whenever an address gets a name, another name or loses its name, so that verdicts
  // kept per flow can tell they may be stale.
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

 private:
  using Entry = std::pair<uint32_t, std::string>;
  const size_t capacity_;
  std::atomic<uint64_t> generation_{0};
  mutable std::mutex mutex_;
  mutable std::list<Entry> order_;  // most recently used first; lookups reorder it
  std::unordered_map<uint32_t, std::list<Entry>::iterator> index_;
};

}  // namespace brevant
