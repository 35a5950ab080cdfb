// tamseld-sim: the filter on the Linux control and the simulated kernel for everything else, so
// that the control transport can be tested without root. Also takes "emit <type> <hex>".
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "../daemon/Daemon.h"
#include "../src/tamsel_internal.h"
#include "platform/kern/sim.h"

namespace {

bool emit(const std::string& cmd, std::string* reply) {
  if (cmd.rfind("emit ", 0) != 0) return false;
  *reply = "EINVAL";
  size_t sp = cmd.find(' ', 5);
  if (sp == std::string::npos) return true;
  std::string type_text = cmd.substr(5, sp - 5);
  std::string hex = cmd.substr(sp + 1);
  if (type_text.empty() || type_text.size() > 9 || hex.size() % 2) return true;
  for (char c : type_text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return true;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    auto nib = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    int hi = nib(hex[i]), lo = nib(hex[i + 1]);
    if (hi < 0 || lo < 0) return true;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  tamsel::kctl_send2user_bin(static_cast<uint32_t>(std::strtoul(type_text.c_str(), nullptr, 10)),
                             bytes.data(), bytes.size());
  *reply = "0";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  platform::kern::sim::use_virtual_time(false);
  return tamsel::daemon::run(argc, argv, "tamseld-sim", emit);
}
