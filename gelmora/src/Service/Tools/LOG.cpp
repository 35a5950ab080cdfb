#include "gelmora/Service/Tools/LOG.h"

#include <spdlog/spdlog.h>

#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Web/TsHttpHelper.h"
#include "gelmora/Service/Web/TsWebEscape.h"

namespace {

std::mutex& consoleMutex() {
  static std::mutex m;
  return m;
}
LOG::ConsoleSink& consoleSink() {
  static LOG::ConsoleSink sink;
  return sink;
}

}  // namespace

struct LOG::State {
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::deque<std::pair<std::string, std::string>> queue;  // (path, text without uid prefix)
  std::optional<std::string> uuid;
  std::string version;
  ReportSender sender;
  std::size_t dropped = 0;
  bool busy = false;
  bool stopping = false;
  bool workerStarted = false;

  void run(const std::shared_ptr<State>& self) {
    std::unique_lock lock(mu);
    for (;;) {
      cv.wait(lock, [&] { return stopping || !queue.empty(); });
      if (stopping) return;
      auto [path, form] = std::move(queue.front());
      queue.pop_front();
      // Read under the lock: the start-up thread may set them while reports run.
      std::optional<std::string> uid = uuid;
      std::string ver = version;
      ReportSender send = sender;
      busy = true;
      lock.unlock();
      if (uid) {
        std::string payload =
            "uid=" + *uid + "&client_version=" + TsWebEscape::urlEscape(ver) + form;
        // Failures are silent and never logged: a failing report must not cause another one.
        if (send) {
          send(path, payload);
        } else {
          TsHttpHelper::POST_LOG(path, payload);
        }
      }
      lock.lock();
      busy = false;
      cv.notify_all();
      (void)self;
    }
  }
};

LOG::LOG() : state_(std::make_shared<State>()) {}

LOG::~LOG() {
  {
    std::lock_guard lock(state_->mu);
    state_->stopping = true;
  }
  state_->cv.notify_all();
  // The worker holds its own reference to the state; a report in flight finishes on its own
  // rather than holding up the owner for the request's time-out.
}

void LOG::console(std::string_view line) {
  std::lock_guard lock(consoleMutex());
  if (consoleSink()) {
    consoleSink()(std::string(line));
  } else {
    spdlog::info("{}", line);
  }
}

void LOG::setConsoleSink(ConsoleSink sink) {
  std::lock_guard lock(consoleMutex());
  consoleSink() = std::move(sink);
}

std::string LOG::reportDate(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}

void LOG::ERROR(std::string_view text) {
  console("ERROR: " + std::string(text));
  enqueue(kErrorReportPath, text, true);
}

void LOG::INFO(std::string_view text, bool needReport) {
  console("DEBUG: " + std::string(text));
  if (needReport) enqueue(kInfoReportPath, text, false);
}

void LOG::enqueue(const char* path, std::string_view text, bool withDate) {
  std::string form;
  if (withDate) {
    form = "&occur_datetime=" + reportDate(std::chrono::system_clock::now()) + "&error_id=0";
  }
  // The details go in as logged: the service reads them unescaped.
  form += "&details=";
  form += text;
  bool startWorker = false;
  {
    std::lock_guard lock(state_->mu);
    // Without a user id nothing would be sent; do not queue at all.
    if (!state_->uuid || state_->stopping) return;
    if (state_->queue.size() >= kReportQueueCapacity) {
      ++state_->dropped;
      return;
    }
    state_->queue.emplace_back(path, std::move(form));
    if (!state_->workerStarted) {
      state_->workerStarted = true;
      startWorker = true;
    }
  }
  if (startWorker) {
    auto s = state_;
    std::thread([s] { s->run(s); }).detach();
  }
  state_->cv.notify_all();
}

void LOG::UpdateUserinfo() {
  auto login = TsParamsDirectory::getNSDictionaryValue("login_data");
  if (!login || !login->is_object()) return;
  auto data = login->find("data");
  if (data == login->end() || !data->is_object()) return;
  auto uid = data->find("uid");
  if (uid == data->end()) return;
  std::string text;
  if (uid->is_string()) {
    text = uid->get<std::string>();
  } else if (uid->is_number_integer() || uid->is_number_unsigned()) {
    text = uid->dump();
  } else {
    return;
  }
  if (text.empty()) return;
  setUuid(text);
  setVersion(TsSystemInformation::clientVersion());
  console("uid " + text);
}

std::optional<std::string> LOG::uuid() const {
  std::lock_guard lock(state_->mu);
  return state_->uuid;
}

void LOG::setUuid(std::optional<std::string> value) {
  std::lock_guard lock(state_->mu);
  state_->uuid = std::move(value);
}

std::string LOG::version() const {
  std::lock_guard lock(state_->mu);
  return state_->version;
}

void LOG::setVersion(std::string value) {
  std::lock_guard lock(state_->mu);
  state_->version = std::move(value);
}

void LOG::setReportSender(ReportSender sender) {
  std::lock_guard lock(state_->mu);
  state_->sender = std::move(sender);
}

std::size_t LOG::droppedReports() const {
  std::lock_guard lock(state_->mu);
  return state_->dropped;
}

bool LOG::waitForReports(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mu);
  return state_->cv.wait_for(lock, timeout, [&] { return state_->queue.empty() && !state_->busy; });
}

LOG& MLOG() {
  static LOG* instance = new LOG();  // lives for the whole run, also during static teardown
  return *instance;
}
