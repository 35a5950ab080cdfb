#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

namespace brevant {

// Remembers where redirected DNS queries were first addressed, so that the answer from the
// server they were redirected to can be given back under the original address. Entries
// expire and the table is bounded. Safe to use from several threads.
class DnsRedirectTable {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr size_t kDefaultCapacity = 4096;
  static constexpr std::chrono::seconds kDefaultLifetime{30};

  explicit DnsRedirectTable(Clock clock = {}, size_t capacity = kDefaultCapacity,
                            std::chrono::steady_clock::duration lifetime = kDefaultLifetime);

  // Key: the client's address and port (host order) and the query's transaction id.
  void remember(uint32_t client, uint16_t port, uint16_t id, uint32_t original_dst);
  // Removes and gives the original destination, or nullopt when unknown or expired.
  std::optional<uint32_t> take(uint32_t client, uint16_t port, uint16_t id);
  size_t size() const;

 private:
  using Key = std::tuple<uint32_t, uint16_t, uint16_t>;
  struct Entry {
    Key key;
    uint32_t original_dst;
    std::chrono::steady_clock::time_point expires;
  };
  void expire(std::chrono::steady_clock::time_point now);

  Clock clock_;
  const size_t capacity_;
  const std::chrono::steady_clock::duration lifetime_;
  mutable std::mutex mutex_;
  std::list<Entry> order_;  // oldest first; one lifetime for all keeps it sorted by expiry
  std::map<Key, std::list<Entry>::iterator> index_;
};

}  // namespace brevant
