// DNS redirection and answer learning: remembered queries, learnt names.
#include <list>
#include <string>

#include "rules.h"
#include "tamsel_internal.h"

namespace tamsel {

namespace {

std::list<int> dns_lookup_data_list;
std::list<int> ip_to_domain_list;

}  // namespace

void dns_lists_clear() {
  dns_rule_list_clear();
  {
    MutexHold hold(lock_mutext_dns_lookup_data);
    dns_lookup_data_list.clear();
  }
  MutexHold hold(lock_mutext_ip_to_domain_list);
  ip_to_domain_list.clear();
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
