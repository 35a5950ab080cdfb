#pragma once
// What the embedded web views stored (cookies, caches, local storage).
#include <functional>
#include <string>

class WebDataStore {
 public:
  virtual ~WebDataStore() = default;
  // Removes every record; `recordRemoved` runs once per record with its display name, after its
  // data is gone (on the main thread).
  virtual void removeAllWebsiteData(
      std::function<void(const std::string& displayName)> recordRemoved) = 0;
};
