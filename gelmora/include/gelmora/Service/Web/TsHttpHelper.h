#pragma once
// HTTP layer of the older service calls: each request is one form POST to the account service's
// base domain whose only field carries the scrambled payload; each answer is unscrambled and read
// as a JSON object {"code", "info", "data"}. Three synchronous senders (with error, JSON variant,
// fire-and-forget), one asynchronous sender and one asynchronous file download whose outcomes go
// to a delegate, called on the operation's own worker thread.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "Tovra/Base/TQConstants.h"
#include "gelmora/Service/Web/TsFileDownload.h"

class TsTaskPortocol {
 public:
  virtual ~TsTaskPortocol() = default;
  // The parsed answer, or the empty text after a download.
  virtual void taskSuccess(const nlohmann::json& object) = 0;
  virtual void taskFail(const TQError& error) = 0;
};

class TsHttpHelper {
 public:
  // Which sender reads an answer; they differ in the codes that fail and in their texts.
  enum class Sender { Post, PostJson, PostLog, AsynPost };

  static constexpr long long kEmptyAnswerCode = 16897;
  static constexpr long long kFormatErrorCode = 16898;
  static constexpr long long kAsynServiceErrorCode = 16899;

  std::shared_ptr<TsTaskPortocol> taskProtocol() const { return taskProtocol_; }
  void setTaskProtocol(std::shared_ptr<TsTaskPortocol> p) { taskProtocol_ = std::move(p); }

  // Code -1, 1 and 102 fail; every other code returns the answer.
  static std::optional<nlohmann::json> POST(const std::string& path, std::string_view payload,
                                            TQError* error);
  // Every code but 0 fails. `cancel`, when set and turned true, ends the call early.
  static std::optional<nlohmann::json> POST_JSON(const std::string& path, std::string_view json,
                                                 TQError* error,
                                                 const std::atomic<bool>* cancel = nullptr);
  // Sends, reads and drops the answer; logs nothing (the report logger's own path).
  static void POST_LOG(const std::string& path, std::string_view payload);

  // On a worker thread; code -1 fails with 16899.
  void ASYN_POST(const std::string& path, std::string_view payload);
  // On a worker thread: the file at the address written to the save path. The SHA-1 is not
  // checked here (the caller checks its own file).
  void AsynDownloadFileWithAddress(const std::string& address, const std::string& savePath,
                                   const std::string& sha1Value);

  // Reads one answer body as the sender does after the transport delivered it: unscramble,
  // parse, code check, log lines, feedback page. `payloadForLog` is the plain payload (the whole
  // enciphered body for the JSON variant). Shared with the fuzz target.
  static std::optional<nlohmann::json> readAnswer(Sender sender, const std::string& url,
                                                  std::string_view payloadForLog,
                                                  std::string_view body, TQError* error);

  // "http://<JVXDomain><path>".
  static std::string urlForPath(const std::string& path);

  // Time-out of the synchronous and asynchronous senders (15 s; tests shorten it).
  static void setTimeoutInterval(std::chrono::milliseconds timeout);
  static std::chrono::milliseconds timeoutInterval();
  // Limits of the download (8 s idle, 60 s overall, 64 MiB).
  static void setDownloadLimits(const TsDownloadLimits& limits);
  static TsDownloadLimits downloadLimits();
  // Run on the main queue after an answer named a feedback page (the app shows its window).
  static void setFeedbackHook(std::function<void()> hook);

 private:
  std::shared_ptr<TsTaskPortocol> taskProtocol_;
};
