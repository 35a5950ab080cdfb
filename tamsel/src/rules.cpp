// Rule lists and process-name lists.
#include <cerrno>
#include <cstring>
#include <list>
#include <string>

#include "tamsel_internal.h"

namespace tamsel {

namespace {

struct Rule {
  std::string procname;
  std::string text;
  int32_t offset;
  int32_t level;
};

std::list<std::string> enabled_procname_list;
std::list<std::string> black_procname_list;
std::list<Rule> white_rule_list;
std::list<Rule> black_rule_list;
std::list<std::string> unanalyzed_domain_list;

}  // namespace

errno_t add_rule(const char* text, size_t len, bool white, int32_t offset, int32_t level) {
  std::string t(text, strnlen(text, len));
  Rule r{t.substr(0, t.find('|')), t, offset, level};
  if (white) {
    {
      MutexHold hold(lock_mutext_white_rule_list);
      white_rule_list.push_back(r);
    }
    MutexHold hold(lock_mutext_enabled_procname);
    bool found = false;
    for (auto& n : enabled_procname_list) found |= n == r.procname;
    if (!found) enabled_procname_list.push_back(r.procname);
  } else {
    MutexHold hold(lock_mutext_black_rule_list);
    black_rule_list.push_back(r);
  }
  return 0;
}

errno_t add_black_procname(const char* name) {
  MutexHold hold(lock_mutext_black_procname_list);
  black_procname_list.push_back(name);
  return 0;
}

bool enabled_procname_exist(const char* name) {
  MutexHold hold(lock_mutext_enabled_procname);
  for (auto& n : enabled_procname_list)
    if (n == name || n == "*") return true;
  return false;
}

void procname_lists_clear() {
  {
    MutexHold hold(lock_mutext_enabled_procname);
    enabled_procname_list.clear();
  }
  MutexHold hold(lock_mutext_black_procname_list);
  black_procname_list.clear();
}

void rule_lists_clear() {
  // The only nesting of the filter: white first, then black.
  MutexHold white(lock_mutext_white_rule_list);
  MutexHold black(lock_mutext_black_rule_list);
  white_rule_list.clear();
  black_rule_list.clear();
}

void unanalyzed_domain_list_clear() {
  MutexHold hold(lock_mutext_unanalyzed_domain_list);
  unanalyzed_domain_list.clear();
}

size_t enabled_procname_count() {
  MutexHold hold(lock_mutext_enabled_procname);
  return enabled_procname_list.size();
}
size_t black_procname_count() {
  MutexHold hold(lock_mutext_black_procname_list);
  return black_procname_list.size();
}
size_t white_rule_count() {
  MutexHold hold(lock_mutext_white_rule_list);
  return white_rule_list.size();
}
size_t black_rule_count() {
  MutexHold hold(lock_mutext_black_rule_list);
  return black_rule_list.size();
}
size_t unanalyzed_domain_count() {
  MutexHold hold(lock_mutext_unanalyzed_domain_list);
  return unanalyzed_domain_list.size();
}

}  // namespace tamsel
