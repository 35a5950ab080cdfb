#include <mutex>
#include <vector>

#include "ChildProcess.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Service/Tools/Utils.h"

namespace {

struct Paths {
  std::mutex mutex;
  std::string zandrel, kext, kextstat;
};

Paths& paths() {
  static Paths p;
  return p;
}

std::string get(std::string Paths::*field) {
  std::lock_guard lock(paths().mutex);
  return paths().*field;
}

void set(std::string Paths::*field, std::string value) {
  std::lock_guard lock(paths().mutex);
  paths().*field = std::move(value);
}

// Runs the tool and waits; false when it could not be started.
bool run(const std::string& tool, const std::vector<std::string>& args, std::string* output,
         int* status = nullptr) {
  gelmora::child::Outcome o = gelmora::child::run(tool, args, output);
  if (status) *status = o.started ? gelmora::child::exitCode(o.status) : -1;
  return o.started;
}

bool validUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    if (c < 0x80)
      n = 0;
    else if ((c >> 5) == 6)
      n = 1;
    else if ((c >> 4) == 14)
      n = 2;
    else if ((c >> 3) == 30)
      n = 3;
    else
      return false;
    if (s.size() - i - 1 < n) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

void Utils::setZandrelPath(std::string p) { set(&Paths::zandrel, std::move(p)); }
void Utils::setKextPath(std::string p) { set(&Paths::kext, std::move(p)); }
void Utils::setKextstatPath(std::string p) { set(&Paths::kextstat, std::move(p)); }
std::string Utils::zandrelPath() { return get(&Paths::zandrel); }
std::string Utils::kextPath() { return get(&Paths::kext); }
std::string Utils::kextstatPath() { return get(&Paths::kextstat); }

void Utils::loakKEXT() { run(zandrelPath(), {"load", kextPath()}, nullptr); }

void Utils::unloadKEXT() { run(zandrelPath(), {"unload"}, nullptr); }

bool Utils::existKEXT() {
  std::string out;
  // A presence tool that cannot run tells nothing: the filter counts as not loaded, so a start
  // fails visibly instead of going on without it.
  if (!run(kextstatPath(), {"-l", "-b", "cn.pelmoor.tamsel"}, &out)) return false;
  return !out.empty() && validUtf8(out);
}

void Utils::flushDNSCache() {
  int first = -1, second = -1;
  run(zandrelPath(), {"flushdns1"}, nullptr, &first);
  gelmora::logLine("FlushDNS1 " + std::to_string(first));
  run(zandrelPath(), {"flushdns2"}, nullptr, &second);
  gelmora::logLine("FlushDNS2 " + std::to_string(second));
}
