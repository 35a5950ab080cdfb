// What the program takes in before and around its start: the executable path, pasteboard text,
// command lines for shellExec and the program path written into the autostart entry. The first
// byte picks the operation, the rest is the input. None may crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gelmora/Application/ProgramEntry.h"
#include "gelmora/Application/TsLaunchAtLoginService.h"
#include "gelmora/Service/Tools/Utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: {
      gelmora::entry::isPlainAscii(input);
      if (auto l = gelmora::entry::layoutFor(input)) {
        // The prefix is always a leading part of the path, ending in "/".
        if (l->prefix.empty() || l->prefix.back() != '/' || input.rfind(l->prefix, 0) != 0)
          std::abort();
      }
      break;
    }
    case 1:
      if (auto p = gelmora::entry::gaParamsFromPasteboard(input)) {
        if (p->empty() || p->size() >= input.size()) std::abort();
      }
      break;
    case 2: {
      auto words = Utils::splitCommandLine(input);
      std::size_t total = 0;
      for (const auto& w : words) total += w.size();
      if (words.empty() || total > input.size()) std::abort();
      break;
    }
    case 3:
      if (auto exec = TsLaunchAtLoginService::execValue(input)) {
        // Nothing the format would read as a line end or a field code is left bare.
        if (exec->find('\n') != std::string::npos) std::abort();
      }
      break;
  }
  return 0;
}
