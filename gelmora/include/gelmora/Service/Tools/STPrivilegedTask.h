#pragma once
// Runs tools with administrator rights, one after another, under one authorization obtained by
// setRootPrivilege. A launch runs the tool to its end through platform/auth; the task then counts
// as running until waitUntilExit or the 0.1 s status timer on the main queue sees the end.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/auth/Authorization.h"
#include "platform/dispatch/Timer.h"

inline constexpr const char* STPrivilegedTaskDidTerminateNotification =
    "STPrivilegedTaskDidTerminateNotification";

class STPrivilegedTask : public std::enable_shared_from_this<STPrivilegedTask> {
 public:
  static constexpr int32_t kNoPrivilegedExecution = -70001;
  static constexpr int32_t kNotAuthorized = -60005;

  STPrivilegedTask();
  explicit STPrivilegedTask(std::string launchPath);
  STPrivilegedTask(std::string launchPath, std::vector<std::string> arguments);
  ~STPrivilegedTask();
  STPrivilegedTask(const STPrivilegedTask&) = delete;
  STPrivilegedTask& operator=(const STPrivilegedTask&) = delete;

  // How authorization is obtained (tests: stand-ins for the elevator); process-wide.
  static void setAuthOptions(platform::auth::Options options);
  static platform::auth::Options authOptions();

  void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
  void setArguments(std::vector<std::string> args) { arguments_ = std::move(args); }
  void setCurrentDirectoryPath(std::string path) { cwd_ = std::move(path); }
  const std::string& launchPath() const { return launchPath_; }
  const std::vector<std::string>& arguments() const { return arguments_; }
  const std::string& currentDirectoryPath() const { return cwd_; }
  bool isRunning() const { return isRunning_; }
  int32_t processIdentifier() const { return pid_; }
  int32_t terminationStatus() const { return terminationStatus_; }
  // The tool's standard output, as far as it wrote.
  const std::string& output() const { return output_; }

  bool setRootPrivilege();
  void unsetRootPrivilege();
  // 0, kNoPrivilegedExecution when neither root nor an elevator exists, kNotAuthorized without
  // a kept authorization, or the errno of a tool that could not be started (negated).
  int32_t launch();
  void waitUntilExit();
  void terminate() {}
  std::string description() const;

  // The status timer's step (public for the timer's task).
  void checkTaskStatus();
  bool hasStatusTimer() const { return timer_.isValid() && !timer_.isCancelled(); }

 private:
  void stopTimer();

  std::vector<std::string> arguments_;
  std::string cwd_;
  std::string launchPath_;
  bool isRunning_ = false;
  int32_t pid_ = 0;
  int32_t terminationStatus_ = 0;
  int32_t finishedStatus_ = 0;
  std::string output_;
  platform::dispatch::Timer timer_;
  std::unique_ptr<platform::auth::Authorization> authorization_;
};
