#pragma once
// Child processes around the traffic filter and a few process-wide helpers: load and unload the
// filter through the loader tool, ask whether it is there, run a command line, hold the one
// privileged task of the process. Each call that starts a child returns once the child has ended.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class STPrivilegedTask;
class UrlOpener;

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
  // True when the presence tool lists the filter (any output that is valid UTF-8); false for no
  // output, and when the tool cannot be run at all: an unknown state is never taken for loaded.
  static bool existKEXT();
  // "flushdns1", then "flushdns2" whatever the first answered; both statuses are logged.
  static void flushDNSCache();

  // Runs one command line without a shell: split at every white-space or newline character
  // (each one splits, so two in a row give an empty word; no quoting, no escapes), the first
  // word is the program's path used as it is, the rest its arguments. Answers the exit status
  // (128 + the signal for a child killed by one), -1 for no command line or a program that could
  // not be started.
  static std::int32_t shellExec(const std::optional<std::string>& commandLine);
  // The split shellExec uses (none: no words).
  static std::vector<std::string> splitCommandLine(std::string_view commandLine);

  // The process's privileged task, asking for administrator rights on first use; kept once
  // granted, none (and asked again next time) when refused. Main thread only.
  static std::shared_ptr<STPrivilegedTask> rootExecHandler();
  // Forgets the kept task (tests).
  static void resetRootExecHandler();

  // Opens the address through the opener the application installs (non-empty http/https only);
  // never fails towards the caller.
  static void openURLWithDefaultBrowser(const std::string& url);
  static void setUrlOpener(UrlOpener* opener);

  // "<short version>.<build number>".
  static std::string versionString();
  // Uniform in [from, to], both included; from must not be greater than to.
  static std::int32_t randomIntegerFrom(std::int32_t from, std::int32_t to);

  // Three bytes or more that parse as one JSON object or array (UTF-8, no trailing text).
  static bool isValidJsonData(std::string_view data);
  static bool isValidJsonString(std::string_view text) { return isValidJsonData(text); }
};
