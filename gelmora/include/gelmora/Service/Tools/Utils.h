#pragma once
// Child processes around the traffic filter: load and unload it through the loader tool, and ask
// whether it is there. Each call returns once the child has ended.
#include <string>

class Utils {
 public:
  // Set once by program entry: the loader tool, the filter daemon it loads, the presence tool.
  static void setZandrelPath(std::string path);
  static void setKextPath(std::string path);
  static void setKextstatPath(std::string path);
  static std::string zandrelPath();
  static std::string kextPath();
  static std::string kextstatPath();

  // "load" <kext path>; result not read: presence is learnt from existKEXT.
  static void loakKEXT();
  // "unload".
  static void unloadKEXT();
  // True when the presence tool lists the filter (any output that is valid UTF-8), and when the
  // tool cannot be run at all; false for no output.
  static bool existKEXT();
};
