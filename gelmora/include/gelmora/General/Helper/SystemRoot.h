#pragma once
// The folder under which device facts are read (/sys, /proc, /etc). "/" in the application;
// tests point it at a fake tree.
#include <filesystem>

namespace gelmora {

class SystemRoot {
 public:
  static std::filesystem::path path();
  static void setPath(std::filesystem::path root);
};

}  // namespace gelmora
