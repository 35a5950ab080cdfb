// The daemon that hosts the filter: start, admin socket, stop on request or SIGTERM.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace tamsel::daemon {

// Extra admin commands of a variant: returns true and fills reply when it knows the command.
using ExtraCommand = std::function<bool(const std::string& command, std::string* reply)>;

// A daemon answering on the admin socket `path` already.
bool admin_answers(const std::string& path);

// Told the one user, besides root, that the filter serves, before the filter starts.
using OwnerHook = std::function<void(uid_t allow_uid)>;

int run(int argc, char** argv, const char* program, ExtraCommand extra = nullptr,
        OwnerHook owner = nullptr);

}  // namespace tamsel::daemon
