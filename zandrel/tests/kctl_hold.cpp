// Test client: connects to the filter's control and holds it until killed. Prints "attached" or
// "error <errno>" and exits 1 then.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/kctl/Client.h"
#include "tamsel/kctl_abi.h"

int main() {
  std::string path;
  int e = platform::kctl::resolve(tamsel::abi::kControlName, &path);
  platform::kctl::Client c;
  if (e == 0) e = c.connect(path);
  if (e != 0) {
    std::printf("error %d\n", e);
    return 1;
  }
  std::printf("attached\n");
  std::fflush(stdout);
  for (;;) ::pause();
}
