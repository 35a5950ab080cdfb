#pragma once
// What went wrong in one step of a self-update: the step's name and its cause, shown to the user
// as "<step>: <cause>".
#include <string>

namespace gelmora::update {

struct UpdateFailure {
  std::string step;
  std::string cause;
  std::string text() const { return step + ": " + cause; }
};

// "ENOENT (No such file or directory)" for errno values.
std::string errnoText(int err);

}  // namespace gelmora::update
