#include "gelmora/Service/Tools/STPrivilegedTask.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "platform/dispatch/Queue.h"
#include "platform/notifications/NotificationCenter.h"

namespace {

std::mutex& optionsMutex() {
  static std::mutex m;
  return m;
}
platform::auth::Options& optionsSlot() {
  static platform::auth::Options o;
  return o;
}

}  // namespace

void STPrivilegedTask::setAuthOptions(platform::auth::Options options) {
  std::lock_guard lock(optionsMutex());
  optionsSlot() = std::move(options);
}

platform::auth::Options STPrivilegedTask::authOptions() {
  std::lock_guard lock(optionsMutex());
  return optionsSlot();
}

STPrivilegedTask::STPrivilegedTask() {
  std::error_code ec;
  cwd_ = std::filesystem::current_path(ec).string();
}

STPrivilegedTask::STPrivilegedTask(std::string launchPath) : STPrivilegedTask() {
  setLaunchPath(std::move(launchPath));
}

STPrivilegedTask::STPrivilegedTask(std::string launchPath, std::vector<std::string> arguments)
    : STPrivilegedTask(std::move(launchPath)) {
  setArguments(std::move(arguments));
}

STPrivilegedTask::~STPrivilegedTask() { stopTimer(); }

bool STPrivilegedTask::setRootPrivilege() {
  platform::auth::Options o;
  {
    std::lock_guard lock(optionsMutex());
    o = optionsSlot();
  }
  authorization_ = platform::auth::Authorization::obtain(o);
  return authorization_ != nullptr;
}

void STPrivilegedTask::unsetRootPrivilege() { authorization_.reset(); }

int32_t STPrivilegedTask::launch() {
  platform::auth::Options o;
  {
    std::lock_guard lock(optionsMutex());
    o = optionsSlot();
  }
  if (!platform::auth::Authorization::available(o)) return kNoPrivilegedExecution;
  if (!authorization_) return kNotAuthorized;
  platform::auth::RunResult r = authorization_->run(launchPath_, arguments_, cwd_);
  if (r.err != 0 && r.pid <= 0) return -r.err;
  if (r.err != 0) {
    // Started but could not exec: the child is reaped already; report like a failed tool.
    finishedStatus_ = 127 << 8;
  } else {
    finishedStatus_ = r.status;
  }
  isRunning_ = true;
  pid_ = r.pid;
  output_ = std::move(r.output);
  stopTimer();
  // The timer holds the task weakly: a task dropped by its owner stops being checked.
  std::weak_ptr<STPrivilegedTask> weak;
  try {
    weak = weak_from_this();
  } catch (...) {
  }
  STPrivilegedTask* raw = this;
  bool owned = !weak.expired();
  timer_ = platform::dispatch::repeating(std::chrono::milliseconds(100),
                                         platform::dispatch::mainQueue(), [weak, raw, owned] {
                                           if (owned) {
                                             if (auto self = weak.lock()) self->checkTaskStatus();
                                           } else {
                                             raw->checkTaskStatus();
                                           }
                                         });
  return 0;
}

void STPrivilegedTask::waitUntilExit() {
  terminationStatus_ = finishedStatus_;
  isRunning_ = false;
}

void STPrivilegedTask::checkTaskStatus() {
  // The tool has always ended by now: launch runs it to its end.
  terminationStatus_ = finishedStatus_;
  isRunning_ = false;
  stopTimer();
  platform::notifications::NotificationCenter::defaultCenter().post(
      STPrivilegedTaskDidTerminateNotification, this);
}

void STPrivilegedTask::stopTimer() {
  if (timer_.isValid()) timer_.cancel();
  timer_ = {};
}

std::string STPrivilegedTask::description() const {
  char head[64];
  std::snprintf(head, sizeof head, "<STPrivilegedTask: %p>", static_cast<const void*>(this));
  std::string d = head;
  d += " " + launchPath_;
  for (const auto& a : arguments_) d += " " + a;
  return d;
}
