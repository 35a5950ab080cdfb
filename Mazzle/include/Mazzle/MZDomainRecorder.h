#pragma once
// Names the destinations of connections. The base names an address by its own dotted text.

#include <memory>
#include <string>

class MZDomainRecorder {
 public:
  virtual ~MZDomainRecorder() = default;
  static void setCurrentRecorder(std::shared_ptr<MZDomainRecorder> recorder);
  // The installed recorder; a base recorder when none is installed.
  static std::shared_ptr<MZDomainRecorder> currentRecorder();

  virtual std::string domainFromIP(const std::string& ip) { return ip; }
};
