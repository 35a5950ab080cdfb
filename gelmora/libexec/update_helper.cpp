// gelmora-update-helper <archive> <signature>: replaces the installation it belongs to with a
// signed update archive, as root. No shell, no inherited environment, no fixed temporary names.
#include <stdlib.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "gelmora/Application/ProgramEntry.h"
#include "gelmora/Legacy/Update/UpdateHelper.h"

int main(int argc, char** argv) {
  ::clearenv();
  ::setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  gelmora::update::UpdateInstaller::Seams seams;
  seams.log = [](const std::string& line) { std::cerr << line << "\n"; };
  std::string out;
  const int status =
      gelmora::update::UpdateHelper::run(args, gelmora::entry::executablePath(), out, seams);
  std::fputs(out.c_str(), stdout);
  return status;
}
