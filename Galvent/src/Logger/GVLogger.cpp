#include "Galvent/Logger/GVLogger.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Galvent/Models/GVTunnelOptions.h"

namespace fs = std::filesystem;

namespace {
std::atomic<std::shared_ptr<GVLogger>> gLogger;
std::atomic<bool> gExitReasonWritten{false};
std::mutex gRootMutex;
std::optional<fs::path> gContainerRoot;
GVLogger::ContainerAccess gContainerAccess;
std::terminate_handler gPreviousTerminate = nullptr;

bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string withNote(std::string_view text, std::string_view note) {
  std::string line(text);
  if (!note.empty()) {
    line += " \n";
    line += note;
  }
  return line;
}

void logRule(std::string_view prefix, std::string_view rule) {
  auto options = GVTunnelOptions::currentOptions();
  if (!GVFlag(options->logRuleAdd)) return;
  auto logger = GVLogger::logger();
  if (!logger) return;
  logger->logInfo(std::string(prefix) + std::string(rule.substr(0, 255)));
}

void logPacket(std::string_view packet, std::string_view note) {
  if (!GVFlag(GVTunnelOptions::currentOptions()->logInterceptPacket)) return;
  if (auto logger = GVLogger::logger()) logger->logInfo(withNote(packet, note));
}

// Write to a fresh temp file beside the target, then rename: readers never see half a reason
// and a planted link at the temp name is refused.
void writeAtomically(const fs::path& target, std::string_view text) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  std::string tmp = target.string() + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) ::unlink(tmp.c_str());
}

[[noreturn]] void terminateHandler() {
  GVHandleException(std::current_exception());
  if (gPreviousTerminate) gPreviousTerminate();
  std::abort();
}
}  // namespace

void GVLogger::logInfo(const std::string&) {}
void GVLogger::logWarn(const std::string&) {}
void GVLogger::logError(const std::string&) {}

void GVLogger::setLogger(std::shared_ptr<GVLogger> logger) { gLogger.store(std::move(logger)); }

std::shared_ptr<GVLogger> GVLogger::logger() {
  if (!GVFlag(GVTunnelOptions::currentOptions()->logEnable)) return nullptr;
  return gLogger.load();
}

void GVLogger::logAddDNSRule(std::string_view ruleText) { logRule("+D ", ruleText); }
void GVLogger::logAddWhiteRule(std::string_view ruleText) { logRule("+W ", ruleText); }
void GVLogger::logAddBlackRule(std::string_view ruleText) { logRule("+B ", ruleText); }

void GVLogger::logOutgoingPacket(std::string_view packet, std::string_view note) {
  logPacket(packet, note);
}
void GVLogger::logIncomingPacket(std::string_view packet, std::string_view note) {
  logPacket(packet, note);
}

void GVLogger::logFlowGroupHeartbeatNote(std::string_view flowGroup, std::string_view note) {
  if (!GVFlag(GVTunnelOptions::currentOptions()->logFlowGroupHeartbeat)) return;
  if (auto logger = GVLogger::logger())
    logger->logInfo(std::string(flowGroup) + " " + std::string(note));
}

void GVLogger::logFlowGroupServerResp(std::string_view flowGroup, std::string_view resp) {
  if (!GVFlag(GVTunnelOptions::currentOptions()->logGameAdapterResp)) return;
  if (auto logger = GVLogger::logger())
    logger->logInfo(std::string(flowGroup) + " " + std::string(resp));
}

void GVLogger::setContainerRoot(fs::path root) {
  std::lock_guard lock(gRootMutex);
  gContainerRoot = std::move(root);
}

fs::path GVLogger::containerRoot() {
  std::lock_guard lock(gRootMutex);
  if (gContainerRoot) return *gContainerRoot;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return xdg;
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".local/share";
  return {};
}

void GVLogger::setContainerAccess(ContainerAccess access) {
  std::lock_guard lock(gRootMutex);
  gContainerAccess = std::move(access);
}

void GVLogger::withContainerAccess(const std::function<void()>& work) {
  ContainerAccess access;
  {
    std::lock_guard lock(gRootMutex);
    access = gContainerAccess;
  }
  if (access) {
    access(work);
  } else {
    work();
  }
}

fs::path GVLogger::exitReasonPath() {
  auto options = GVTunnelOptions::currentOptions();
  const std::string group = options->groupIdentifier.value_or("");
  const std::string file = options->errorFile.value_or("");
  // Both names come from another process: only plain names, never a way out of the container.
  if (!plainName(group) || !plainName(file)) return {};
  fs::path root = containerRoot();
  if (root.empty()) return {};
  return root / group / file;
}

bool GVLogger::exitReasonWritten() { return gExitReasonWritten.load(); }

void GVLogger::clearExitReasonMark() { gExitReasonWritten = false; }

void GVLogger::logVPNExitReason(std::string_view reason) {
  if (reason.empty()) return;
  gExitReasonWritten = true;
  fs::path target = exitReasonPath();
  if (target.empty()) return;
  withContainerAccess([&] { writeAtomically(target, reason); });
}

void GVLogInfo(const std::string& text) {
  if (auto logger = GVLogger::logger()) logger->logInfo(text);
}
void GVLogWarn(const std::string& text) {
  if (auto logger = GVLogger::logger()) logger->logWarn(text);
}
void GVLogError(const std::string& text) {
  if (auto logger = GVLogger::logger()) logger->logError(text);
}

void GVLoggerInstallUncaughtExceptionHandler() {
  std::terminate_handler previous = std::set_terminate(terminateHandler);
  if (previous != terminateHandler) gPreviousTerminate = previous;
}

void GVHandleException(std::exception_ptr exception) {
  std::string description = "unknown exception";
  if (exception) {
    try {
      std::rethrow_exception(exception);
    } catch (const std::exception& e) {
      description = e.what();
    } catch (...) {
    }
  } else {
    description = "terminate without an exception";
  }
  void* frames[64];
  int count = ::backtrace(frames, 64);
  std::string stack = "(";
  if (char** symbols = ::backtrace_symbols(frames, count)) {
    for (int i = 0; i < count; ++i) {
      stack += "\n    ";
      stack += symbols[i];
    }
    std::free(symbols);
  }
  stack += "\n)";
  GVLogger::logVPNExitReason("Uncaught Exception, description:" + description +
                             ", call stack:" + stack);
}
