#include "Tovra/REST/TQAPI.h"

#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/Base/TQAPIModel.h"
#include "Tovra/Base/TQLogger.h"
#include "Tovra/Base/TQRedact.h"
#include "Tovra/REST/TQAPIEngine.h"

namespace {

class UnimplementedEngine : public TQAPIEngine {
 public:
  void processAPI(const std::shared_ptr<TQAPI>& api) override {
    std::string reason = api->className() + " does not implement -processAPI:.";
    tq::logError("Call to unimplemented -processAPI: " + reason);
    api->failedWithErrorMessage(reason, 0);
  }
};

}  // namespace

TQAPIEngine& TQAPIEngine::unimplementedEngine() {
  static UnimplementedEngine engine;
  return engine;
}

TQAPI::TQAPI() = default;
TQAPI::~TQAPI() = default;

const char* TQAPI::statusName(int64_t status) {
  switch (status) {
    case TQAPIStatusPending:
      return "Pendding";
    case TQAPIStatusRequest:
      return "Request";
    case TQAPIStatusSuccess:
      return "Success";
    case TQAPIStatusFailed:
      return "Failed";
    case TQAPIStatusCancelled:
      return "Cancelled";
  }
  return "Unknown";
}

TQError TQAPI::lastError() const { return lastErrors_.empty() ? TQError{} : lastErrors_.back(); }

TQAPIEngine& TQAPI::engine() { return TQAPIEngine::unimplementedEngine(); }

void TQAPI::resetForSend() {
  status_ = TQAPIStatusPending;
  lastErrors_.clear();
  rawResp_ = nullptr;
  respData_ = nullptr;
  cancelBlock_ = nullptr;
}

void TQAPI::send() {
  resetForSend();
  ++sendGeneration_;
  engine().processAPI(shared_from_this());
}

void TQAPI::doSucceed() {
  status_ = TQAPIStatusSuccess;
  // Handlers may drop the last outside reference to this call.
  auto keep = weak_from_this().lock();
  if (whenSucceed_) whenSucceed_(*this);
  if (const auto& g = TQAPIConfig::sharedInstance().globalSuccessHandler()) g(*this);
}

void TQAPI::doFailed() {
  status_ = TQAPIStatusFailed;
  auto keep = weak_from_this().lock();
  if (whenFailed_) whenFailed_(*this);
  if (const auto& g = TQAPIConfig::sharedInstance().globalFailedHandler()) g(*this);
}

void TQAPI::doCancel() {
  if (status_ != TQAPIStatusPending && status_ != TQAPIStatusRequest) return;
  status_ = TQAPIStatusCancelled;
  auto keep = weak_from_this().lock();
  if (cancelBlock_) cancelBlock_();
  if (whenCancelled_) whenCancelled_(*this);
}

void TQAPI::doProgress(double fraction) {
  if (whenProgress_) whenProgress_(fraction);
}

void TQAPI::failedWithError(const TQError& error) {
  lastErrors_.push_back(error);
  doFailed();
}

void TQAPI::failedWithErrorMessage(const std::string& message, long long code) {
  failedWithError(TQError{TQAPILocalErrorDomain, code, message, std::nullopt});
}

void TQAPI::failedForNotAuthed() { failedWithErrorMessage("not authed", TQAPINotAuthedErrorCode); }

void TQAPI::failedWithErrorParam(const std::string& message) {
  failedWithErrorMessage(message, TQAPIParamValidateFaildCode);
}

TQError TQAPI::errorWithLocalMessage(const std::string& message) {
  return TQError{TQAPILocalErrorDomain, 0, message, std::nullopt};
}

std::string TQAPI::description() const {
  std::string d = "\n-------------------------- \n";
  d += "<" + className() + " status: " + statusName(status_) + " > \n";
  if (auto r = reqDictionary()) d += "req: " + tq::dumpJSON(tq::redacted(*r)) + "\n";
  if (hasResp()) {
    d += "resp: " + tq::dumpJSON(tq::redacted(respDictionary(), tq::Side::Answer)) + "\n";
  }
  d += "\n--------------------------";
  return d;
}
