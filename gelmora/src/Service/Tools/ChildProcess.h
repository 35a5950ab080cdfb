#pragma once
// One child process run to its end: argument words passed as they are (no shell, no search
// along PATH), standard streams inherited unless the output is captured.
#include <cstddef>
#include <string>
#include <vector>

namespace gelmora::child {

struct Outcome {
  bool started = false;  // false: nothing ran (err says why)
  int err = 0;
  int status = 0;  // wait status when started
};

// Runs `tool` with `args` and waits. With `output`, its standard output is read to the end and
// kept up to `cap` bytes (the rest is read and dropped, so the child never blocks on a full pipe).
Outcome run(const std::string& tool, const std::vector<std::string>& args,
            std::string* output = nullptr, std::size_t cap = 65536);

// Exit status of a wait status: the code, or 128 + the signal that ended it.
int exitCode(int waitStatus);

}  // namespace gelmora::child
