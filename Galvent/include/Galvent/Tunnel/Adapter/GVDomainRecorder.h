#pragma once
// Names destinations from the addresses learned from DNS answers.

#include "Brevant/DomainTable.h"
#include "Mazzle/MZDomainRecorder.h"

class GVDomainRecorder : public MZDomainRecorder {
 public:
  // domains: the learned table to read; null reads processTable().
  explicit GVDomainRecorder(const brevant::DomainTable* domains = nullptr);
  std::string domainFromIP(const std::string& ip) override;

  // Table used when no other is given.
  static brevant::DomainTable& processTable();

 private:
  const brevant::DomainTable* domains_;
};
