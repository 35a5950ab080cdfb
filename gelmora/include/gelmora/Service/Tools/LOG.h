#pragma once
// The application's own logger. Every line goes to the console; error lines, and information
// lines whose caller asks for it, are also reported to the older service by one background
// worker. The worker's queue is bounded: when the service is slow, further reports are dropped
// and counted rather than piling up threads or memory.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class LOG {
 public:
  static constexpr const char* kErrorReportPath = "/q5client/client-error-log/report";
  static constexpr const char* kInfoReportPath = "/q5client/client-log/report";
  static constexpr std::size_t kReportQueueCapacity = 256;

  // Sends one report (path, form payload). The default is the older layer's POST_LOG.
  using ReportSender = std::function<void(const std::string& path, const std::string& payload)>;
  // Receives each console line; the default writes it through spdlog.
  using ConsoleSink = std::function<void(const std::string& line)>;

  LOG();
  ~LOG();
  LOG(const LOG&) = delete;
  LOG& operator=(const LOG&) = delete;

  // "ERROR: <text>" on the console, then an error report (when a user id is known).
  void ERROR(std::string_view text);
  // "DEBUG: <text>" on the console; an information report only when needReport is set.
  void INFO(std::string_view text, bool needReport);
  // Takes the user id and client version from the stored older sign-in ("login_data"), if any.
  void UpdateUserinfo();

  std::optional<std::string> uuid() const;
  void setUuid(std::optional<std::string> value);
  std::string version() const;
  void setVersion(std::string value);

  void setReportSender(ReportSender sender);
  // Reports refused because the queue was full.
  std::size_t droppedReports() const;
  // Waits until the queue is empty and the worker idle (tests); false on time-out.
  bool waitForReports(std::chrono::milliseconds timeout) const;

  // One console line of the older layer (also used by the HTTP layer and the calls).
  static void console(std::string_view line);
  // Replaces the console sink (tests); an empty function restores spdlog.
  static void setConsoleSink(ConsoleSink sink);

  // "yyyy-MM-dd HH:mm:ss +0000" of the given time, in UTC.
  static std::string reportDate(std::chrono::system_clock::time_point when);

  struct State;  // shared with the worker thread, which may outlive the object

 private:
  void enqueue(const char* path, std::string_view text, bool withDate);

  std::shared_ptr<State> state_;
};

// The one logger of the process, created on first use and never replaced.
LOG& MLOG();
