// tamselstat -l -b cn.pelmoor.tamsel: prints the filter's line when its control answers a probe.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/kctl/Client.h"
#include "tamsel/kctl_abi.h"

int main(int argc, char** argv) {
  bool list = false;
  std::string bundle;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-l") == 0) {
      list = true;
    } else if (std::strcmp(argv[i], "-b") == 0 && i + 1 < argc) {
      bundle = argv[++i];
    } else {
      std::fprintf(stderr, "usage: tamselstat -l -b %s\n", tamsel::abi::kControlName);
      return 2;
    }
  }
  if (!list || bundle.empty()) {
    std::fprintf(stderr, "usage: tamselstat -l -b %s\n", tamsel::abi::kControlName);
    return 2;
  }
  if (bundle != tamsel::abi::kControlName) return 0;  // nothing else is ever listed
  std::string path;
  if (platform::kctl::resolve(bundle, &path) != 0) return 0;
  platform::kctl::Client probe;
  if (probe.connect(path, true) != 0) return 0;
  std::printf("%s (%s)\n", tamsel::abi::kControlName, tamsel::abi::kVersion);
  return 0;
}
