#pragma once
// One service call: request, response, status and callbacks. Calls are always held in a
// std::shared_ptr (create them with std::make_shared); the transport task keeps its call alive
// until the task ends.
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Tovra/Base/TQConstants.h"

class TQAPIEngine;

class TQAPI : public std::enable_shared_from_this<TQAPI> {
 public:
  enum Status : int64_t {
    TQAPIStatusPending = 0,
    TQAPIStatusRequest = 1,
    TQAPIStatusSuccess = 2,
    TQAPIStatusFailed = 3,
    TQAPIStatusCancelled = 4,
  };

  using Callback = std::function<void(TQAPI& api)>;
  using ProgressCallback = std::function<void(double fraction)>;

  TQAPI();
  virtual ~TQAPI();
  TQAPI(const TQAPI&) = delete;
  TQAPI& operator=(const TQAPI&) = delete;

  // Request as a plain dictionary of parameters; typed calls (tq::Call) override reqDictionary()
  // to answer their request model's dictionary instead.
  void setReq(std::optional<nlohmann::json> dict) { req_ = std::move(dict); }
  virtual std::optional<nlohmann::json> reqDictionary() const { return req_; }

  // The raw payload when it is kept unmapped (autoSerializingResp off), else null.
  const nlohmann::json& rawResp() const { return rawResp_; }
  void setRawResp(nlohmann::json v) { rawResp_ = std::move(v); }
  // Whether the call holds an answer object (a model, a list or a raw payload).
  virtual bool hasResp() const { return !rawResp_.is_null(); }
  // The response as JSON, for descriptions.
  virtual nlohmann::json respDictionary() const { return rawResp_; }

  // The whole decoded answer as received; null when there was none.
  const nlohmann::json& respData() const { return respData_; }
  void setRespData(nlohmann::json v) { respData_ = std::move(v); }

  int64_t status() const { return status_; }
  void setStatus(int64_t s) { status_ = s; }
  static const char* statusName(int64_t status);

  bool silence() const { return silence_; }
  void setSilence(bool v) { silence_ = v; }

  const std::vector<TQError>& lastErrors() const { return lastErrors_; }
  std::vector<TQError>& mutableLastErrors() { return lastErrors_; }
  // The last error, or an empty error when there is none.
  TQError lastError() const;

  virtual TQAPIEngine& engine();

  void setWhenSucceed(Callback cb) { whenSucceed_ = std::move(cb); }
  void setWhenFailed(Callback cb) { whenFailed_ = std::move(cb); }
  void setWhenCancelled(Callback cb) { whenCancelled_ = std::move(cb); }
  void setWhenProgress(ProgressCallback cb) { whenProgress_ = std::move(cb); }
  const Callback& whenSucceed() const { return whenSucceed_; }
  const Callback& whenFailed() const { return whenFailed_; }
  const Callback& whenCancelled() const { return whenCancelled_; }
  const ProgressCallback& whenProgress() const { return whenProgress_; }

  void setCancelBlock(std::function<void()> cb) { cancelBlock_ = std::move(cb); }
  const std::function<void()>& cancelBlock() const { return cancelBlock_; }

  // Starts the call: clears the outcome of any earlier send, then hands the call to its engine.
  virtual void send();
  void cancel() { doCancel(); }

  virtual void doSucceed();
  virtual void doFailed();
  virtual void doCancel();
  virtual void doProgress(double fraction);

  void failedWithError(const TQError& error);
  void failedWithErrorMessage(const std::string& message, long long code);
  void failedForNotAuthed();
  void failedWithErrorParam(const std::string& message);
  static TQError errorWithLocalMessage(const std::string& message);

  // The class name used in descriptions and logs.
  virtual std::string className() const { return "TQAPI"; }
  // Pop-up information a service attaches to its answers; null in the base.
  virtual nlohmann::json popInfo() const { return nullptr; }
  // Multi-line text for logs, secrets masked.
  virtual std::string description() const;

  // Counts sends, so an engine can tell the outcome of an earlier send from the current one.
  uint64_t sendGeneration() const { return sendGeneration_; }

 protected:
  // Clears what an earlier send left: status, errors, answer. Typed calls extend it.
  virtual void resetForSend();

 private:
  std::optional<nlohmann::json> req_;
  nlohmann::json rawResp_;
  nlohmann::json respData_;
  int64_t status_ = TQAPIStatusPending;
  bool silence_ = false;
  std::vector<TQError> lastErrors_;
  Callback whenSucceed_;
  Callback whenFailed_;
  Callback whenCancelled_;
  ProgressCallback whenProgress_;
  std::function<void()> cancelBlock_;
  uint64_t sendGeneration_ = 0;
};

using TQAPIPtr = std::shared_ptr<TQAPI>;
