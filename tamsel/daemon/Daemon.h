// The daemon that hosts the filter: start, admin socket, stop on request or SIGTERM.
#pragma once

#include <functional>
#include <string>

namespace tamsel::daemon {

// Extra admin commands of a variant: returns true and fills reply when it knows the command.
using ExtraCommand = std::function<bool(const std::string& command, std::string* reply)>;

int run(int argc, char** argv, const char* program, ExtraCommand extra = nullptr);

}  // namespace tamsel::daemon
