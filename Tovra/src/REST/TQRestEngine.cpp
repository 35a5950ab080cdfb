#include "Tovra/REST/TQRestEngine.h"

#include <cctype>

#include "../Base/TQNotify.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/Base/TQLogger.h"
#include "Tovra/REST/CurlTransport.h"
#include "Tovra/REST/TQRestAPI.h"

namespace {

bool sameHeaderName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void setHeader(tq::HttpHeaders& headers, const std::string& name, const std::string& value) {
  for (auto& [k, v] : headers) {
    if (sameHeaderName(k, name)) {
      v = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

}  // namespace

struct TQRestEngine::Observer {
  std::shared_ptr<void> token;
};

std::shared_ptr<TQSessionManager> TQSessionManager::makeDefault() {
  auto m = std::make_shared<TQSessionManager>();
  m->transport = tq::CurlTransport::shared();
  m->requestSerializer = std::make_shared<tq::TQRequestSerializer>();
  m->responseSerializer = std::make_shared<tq::TQResponseSerializer>();
  return m;
}

TQRestEngine& TQRestEngine::sharedEngine() {
  static TQRestEngine engine;
  return engine;
}

TQRestEngine::TQRestEngine() : observer_(std::make_shared<Observer>()) {
  // The observation ends with the engine: the handler only reaches it through this token.
  observer_->token = tq::detail::observeNotification(TQAPIConfigGlobalHeaderChanged,
                                                     [this] { updateHeaderValues(); });
}

TQRestEngine::~TQRestEngine() = default;

std::shared_ptr<TQSessionManager> TQRestEngine::manager() {
  if (!manager_) {
    manager_ = TQSessionManager::makeDefault();
    updateHeaderValues();
  }
  return manager_;
}

void TQRestEngine::setManager(std::shared_ptr<TQSessionManager> m) { manager_ = std::move(m); }

void TQRestEngine::updateHeaderValues() {
  if (!manager_) return;
  // Replace rather than merge, so that a removed global header is no longer sent.
  manager_->headers.clear();
  for (const auto& [k, v] : TQAPIConfig::sharedInstance().globalHeaders()) {
    manager_->headers.emplace_back(k, v);
  }
}

std::optional<std::string> TQRestEngine::urlFor(const TQRestAPI& api) const {
  const std::string& path = api.path();
  if (path.rfind("http", 0) == 0) return path;
  auto domain = baseDomain();
  if (!domain || domain->empty()) return std::nullopt;
  std::string scheme = TQAPIConfig::sharedInstance().useSSL() ? "https://" : "http://";
  return scheme + *domain + rootPath().value_or("") + path;
}

void TQRestEngine::processAPI(const std::shared_ptr<TQAPI>& base) {
  auto api = std::dynamic_pointer_cast<TQRestAPI>(base);
  if (!api) {
    base->failedWithErrorMessage(base->className() + " is not a REST call", 0);
    return;
  }
  auto url = urlFor(*api);
  if (!url) {
    tq::logError("Can't get URLString from " + api->description());
    api->failedWithError(TQError{TQAPILocalErrorDomain, 0, "Can't get URL", std::nullopt});
    return;
  }

  // Everything the worker needs is copied here, on the calling thread.
  auto m = manager();
  updateHeaderValues();
  m->timeoutInterval = TQAPIConfig::sharedInstance().timeoutInterval();
  tq::HttpRequest request;
  TQError error = m->requestSerializer->serialize(api->method(), *url, api->params(), request);
  if (error) {
    api->failedWithError(error);
    return;
  }
  for (const auto& [k, v] : m->headers) setHeader(request.headers, k, v);
  request.timeoutInterval = m->timeoutInterval;
  api->setUrl(request.url);

  uint64_t generation = api->sendGeneration();
  auto serializer = m->responseSerializer;
  tq::HttpCallbacks callbacks;
  callbacks.queue = m->completionQueue;
  callbacks.uploadProgress = [api](double f) { api->doProgress(f); };
  callbacks.downloadProgress = [api](double f) { api->doProgress(f); };
  callbacks.completion = [api, generation, serializer](const tq::HttpResponse& response,
                                                       const TQError& transportError) {
    // A cancelled call, or an earlier send of a call sent again, has had its outcome already.
    if (api->sendGeneration() != generation || api->status() == TQAPI::TQAPIStatusCancelled) {
      return;
    }
    if (transportError) {
      api->mutableLastErrors().push_back(transportError);
      api->doFailed();
      return;
    }
    nlohmann::json answer;
    if (TQError e = serializer->decode(response, answer)) {
      api->mutableLastErrors().push_back(e);
      api->doFailed();
      return;
    }
    api->handleRespData(answer);
  };
  std::shared_ptr<tq::HttpTask> task =
      m->transport->start(std::move(request), std::move(callbacks));
  // The task reaches its call only weakly through the transport, so holding it here makes no
  // cycle.
  api->setCancelBlock([task] { task->cancel(); });
  tq::logInfo(api->description());
}
