#include "Galvent/Tunnel/Adapter/GVDomainRecorder.h"

#include "Brevant/Brevant.h"
#include "Mazzle/MZHelper.h"

GVDomainRecorder::GVDomainRecorder(const brevant::DomainTable* domains)
    : domains_(domains ? domains : &processTable()) {}

brevant::DomainTable& GVDomainRecorder::processTable() {
  static brevant::DomainTable table;
  return table;
}

std::string GVDomainRecorder::domainFromIP(const std::string& ip) {
  auto addr = MZHelper::ipv4AddrFromLiteral(ip);
  if (!addr) return ip;
  std::string domain = brevant::domain_of_ip(*domains_, *addr);
  // The rule kit's buffer holds 64 bytes with its terminator.
  if (domain.size() > 63) domain.resize(63);
  return domain.empty() ? ip : domain;
}
