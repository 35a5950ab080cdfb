// DNS redirection and answer learning: rule list, remembered queries, learnt names.
#include <list>
#include <string>

#include "tamsel_internal.h"

namespace tamsel {

namespace {

struct DnsRule {
  std::string server;
  std::string domain;
};

std::list<DnsRule> dns_rule_list;
std::list<int> dns_lookup_data_list;
std::list<int> ip_to_domain_list;

}  // namespace

errno_t add_to_dns_rule_list(const char* server, const char* domains) {
  MutexHold hold(lock_mutext_dns_rule_list);
  dns_rule_list.push_back({server, domains});
  return 0;
}

void dns_lists_clear() {
  {
    MutexHold hold(lock_mutext_dns_rule_list);
    dns_rule_list.clear();
  }
  {
    MutexHold hold(lock_mutext_dns_lookup_data);
    dns_lookup_data_list.clear();
  }
  MutexHold hold(lock_mutext_ip_to_domain_list);
  ip_to_domain_list.clear();
}

size_t dns_rule_count() {
  MutexHold hold(lock_mutext_dns_rule_list);
  return dns_rule_list.size();
}
size_t dns_lookup_data_count() {
  MutexHold hold(lock_mutext_dns_lookup_data);
  return dns_lookup_data_list.size();
}
size_t ip_to_domain_count() {
  MutexHold hold(lock_mutext_ip_to_domain_list);
  return ip_to_domain_list.size();
}

}  // namespace tamsel
