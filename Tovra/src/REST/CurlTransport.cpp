#include "Tovra/REST/CurlTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace tq {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) {
    --e;
  }
  return std::string(s.substr(b, e - b));
}

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::string HttpResponse::header(const std::string& name) const {
  std::string want = lower(name);
  for (const auto& [k, v] : headers) {
    if (lower(k) == want) return v;
  }
  return {};
}

std::string HttpResponse::mediaType() const {
  std::string ct = header("Content-Type");
  auto semi = ct.find(';');
  if (semi != std::string::npos) ct.resize(semi);
  return lower(trim(ct));
}

struct Transfer;

struct CurlTransport::Impl {
  std::mutex mu;
  std::deque<std::shared_ptr<Transfer>> toAdd;
  std::deque<std::shared_ptr<Transfer>> toCancel;
  bool stopping = false;
  CURLM* multi = nullptr;
  std::thread worker;
  SocketHook socketHook;
  size_t bodyCap = kDefaultBodyCap;

  void run();
  void wake() { curl_multi_wakeup(multi); }
};

struct Transfer : std::enable_shared_from_this<Transfer> {
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  HttpRequest request;
  HttpCallbacks callbacks;
  HttpResponse response;
  CurlTransport::SocketHook socketHook;
  size_t bodyCap = 0;
  bool tooLarge = false;
  bool hookFailed = false;
  bool redirectRefused = false;
  long lastStatus = 0;
  std::atomic<bool> cancelled{false};
  bool finished = false;  // worker thread only
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headerList) curl_slist_free_all(headerList);
  }

  static size_t onBody(char* data, size_t size, size_t nmemb, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * nmemb;
    if (t->response.body.size() + n > t->bodyCap) {
      t->tooLarge = true;
      return 0;  // ends the transfer with a write error
    }
    t->response.body.append(data, n);
    return n;
  }

  static size_t onHeader(char* data, size_t size, size_t nmemb, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * nmemb;
    std::string_view line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
      // A new status line: a redirect or an interim answer; keep only the last answer's headers.
      t->response.headers.clear();
      t->response.reasonPhrase.clear();
      t->lastStatus = 0;
      auto sp1 = line.find(' ');
      if (sp1 != std::string_view::npos) {
        t->lastStatus = std::strtol(std::string(line.substr(sp1 + 1, 3)).c_str(), nullptr, 10);
        auto sp2 = line.find(' ', sp1 + 1);
        if (sp2 != std::string_view::npos) t->response.reasonPhrase = trim(line.substr(sp2 + 1));
      }
    } else {
      auto colon = line.find(':');
      if (colon != std::string_view::npos) {
        t->response.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
        if (t->lastStatus >= 300 && t->lastStatus < 400 &&
            lower(std::string(trim(line.substr(0, colon)))) == "location" &&
            !t->redirectAllowed(std::string(trim(line.substr(colon + 1))))) {
          t->redirectRefused = true;
          return 0;  // ends the transfer before curl follows it
        }
      }
    }
    return n;
  }

  // A redirect never leads from https to http, and a request that carries a body (307, 308 keep
  // it) never goes to another scheme, host or port.
  bool redirectAllowed(const std::string& location) const {
    char* current = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &current);
    CURLU* from = curl_url();
    CURLU* to = curl_url();
    bool ok = false;
    if (from && to && curl_url_set(from, CURLUPART_URL, request.url.c_str(), 0) == CURLUE_OK &&
        curl_url_set(to, CURLUPART_URL, current ? current : request.url.c_str(), 0) == CURLUE_OK &&
        curl_url_set(to, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK) {
      auto part = [](CURLU* u, CURLUPart p, unsigned flags) {
        char* v = nullptr;
        std::string out;
        if (curl_url_get(u, p, &v, flags) == CURLUE_OK && v) out = v;
        curl_free(v);
        return lower(out);
      };
      const std::string fromScheme = part(from, CURLUPART_SCHEME, 0);
      const std::string toScheme = part(to, CURLUPART_SCHEME, 0);
      const bool sameOrigin = fromScheme == toScheme &&
                              part(from, CURLUPART_HOST, 0) == part(to, CURLUPART_HOST, 0) &&
                              part(from, CURLUPART_PORT, CURLU_DEFAULT_PORT) ==
                                  part(to, CURLUPART_PORT, CURLU_DEFAULT_PORT);
      const bool keepsBody = (lastStatus == 307 || lastStatus == 308) && request.method != "GET" &&
                             request.method != "HEAD";
      ok = !(fromScheme == "https" && toScheme != "https") && (sameOrigin || !keepsBody);
    }
    if (from) curl_url_cleanup(from);
    if (to) curl_url_cleanup(to);
    return ok;
  }

  static int onProgress(void* user, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
                        curl_off_t ulNow) {
    auto* t = static_cast<Transfer*>(user);
    if (t->cancelled.load()) return 1;
    if (ulTotal > 0 && t->callbacks.uploadProgress) {
      t->callbacks.uploadProgress(static_cast<double>(ulNow) / static_cast<double>(ulTotal));
    }
    if (dlTotal > 0 && t->callbacks.downloadProgress) {
      t->callbacks.downloadProgress(static_cast<double>(dlNow) / static_cast<double>(dlTotal));
    }
    return 0;
  }

  static int onSocket(void* user, curl_socket_t fd, curlsocktype purpose) {
    auto* t = static_cast<Transfer*>(user);
    if (purpose != CURLSOCKTYPE_IPCXN || !t->socketHook) return CURL_SOCKOPT_OK;
    if (t->socketHook(fd)) return CURL_SOCKOPT_OK;
    t->hookFailed = true;
    return CURL_SOCKOPT_ERROR;
  }

  bool setUp() {
    easy = curl_easy_init();
    if (!easy) return false;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &Transfer::onSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(bodyCap));

    // Connect within the time-out, then fail when no byte moves for as long.
    double t = request.timeoutInterval > 0 ? request.timeoutInterval : 60.0;
    long ms = static_cast<long>(std::min(t, 86400.0) * 1000.0);
    double whole = request.deadline > 0 ? request.deadline : 3 * t;
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                     std::max(1L, static_cast<long>(std::min(whole, 3 * 86400.0) * 1000.0)));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, std::max(ms, 1L));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(std::ceil(t))));

    const std::string& m = request.method;
    if (m == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (m == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
      if (m != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, m.c_str());
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
    }
    bool hasExpect = false;
    for (const auto& [k, v] : request.headers) {
      if (lower(k) == "expect") hasExpect = true;
      std::string line = k + ": " + v;
      if (v.empty()) line = k + ";";  // curl's way of sending a header with no value
      headerList = curl_slist_append(headerList, line.c_str());
    }
    // No "100-continue" round trip for bodies.
    if (!hasExpect) headerList = curl_slist_append(headerList, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    return true;
  }

  TQError errorFor(CURLcode code) const {
    if (cancelled.load()) {
      return TQError{TQAPITransportErrorDomain, TQAPITransportErrorCancelled, "cancelled",
                     std::nullopt};
    }
    std::string text = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
    long err = TQAPITransportErrorOther;
    if (tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
      err = TQAPITransportErrorTooLarge;
      text = "answer larger than " + std::to_string(bodyCap) + " bytes";
    } else if (redirectRefused) {
      err = TQAPITransportErrorOther;
      text = "redirect refused: it would leave https or re-send the body to another host";
    } else if (hookFailed) {
      err = TQAPITransportErrorCannotConnect;
      text = "socket option hook refused the socket";
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
      err = TQAPITransportErrorTimedOut;
    } else if (code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY) {
      err = TQAPITransportErrorCannotResolve;
    } else if (code == CURLE_COULDNT_CONNECT) {
      err = TQAPITransportErrorCannotConnect;
    }
    return TQError{TQAPITransportErrorDomain, err, text, std::nullopt};
  }

  // Posts the one outcome of this transfer to its queue.
  void finish(CURLcode code) {
    if (finished) return;
    finished = true;
    TQError error;
    if (code != CURLE_OK || cancelled.load()) {
      error = errorFor(code);
    } else {
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      response.status = status;
      char* eff = nullptr;
      curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &eff);
      if (eff) response.url = eff;
    }
    auto done = std::move(callbacks.completion);
    auto queue = callbacks.queue;
    callbacks = {};
    if (!done) return;
    HttpResponse resp = std::move(response);
    queue->async([done = std::move(done), resp = std::move(resp), error]() { done(resp, error); });
  }
};

namespace {

class CurlTask : public HttpTask {
 public:
  CurlTask(std::weak_ptr<CurlTransport::Impl> impl, std::shared_ptr<Transfer> t)
      : impl_(std::move(impl)), transfer_(std::move(t)) {}

  void cancel() override {
    auto t = transfer_.lock();
    if (!t || t->cancelled.exchange(true)) return;
    if (auto impl = impl_.lock()) {
      std::lock_guard<std::mutex> lock(impl->mu);
      impl->toCancel.push_back(t);
      impl->wake();
    }
  }

 private:
  std::weak_ptr<CurlTransport::Impl> impl_;
  std::weak_ptr<Transfer> transfer_;
};

}  // namespace

void CurlTransport::Impl::run() {
  std::unordered_map<CURL*, std::shared_ptr<Transfer>> running;
  for (;;) {
    std::deque<std::shared_ptr<Transfer>> adds, cancels;
    bool stop = false;
    {
      std::lock_guard<std::mutex> lock(mu);
      adds.swap(toAdd);
      cancels.swap(toCancel);
      stop = stopping;
    }
    for (auto& t : adds) {
      if (t->cancelled.load()) {
        t->finish(CURLE_ABORTED_BY_CALLBACK);
        continue;
      }
      if (curl_multi_add_handle(multi, t->easy) != CURLM_OK) {
        t->finish(CURLE_FAILED_INIT);
        continue;
      }
      running.emplace(t->easy, t);
    }
    for (auto& t : cancels) {
      auto it = running.find(t->easy);
      if (it == running.end()) continue;
      curl_multi_remove_handle(multi, t->easy);
      t->finish(CURLE_ABORTED_BY_CALLBACK);
      running.erase(it);
    }
    if (stop) break;

    int still = 0;
    curl_multi_perform(multi, &still);
    while (CURLMsg* msg = curl_multi_info_read(multi, &still)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* easy = msg->easy_handle;
      CURLcode code = msg->data.result;
      auto it = running.find(easy);
      curl_multi_remove_handle(multi, easy);
      if (it != running.end()) {
        it->second->finish(code);
        running.erase(it);
      }
    }
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  // Shutting down: whatever still runs ends as cancelled, so every caller hears once.
  for (auto& [easy, t] : running) {
    curl_multi_remove_handle(multi, easy);
    t->cancelled.store(true);
    t->finish(CURLE_ABORTED_BY_CALLBACK);
  }
  std::lock_guard<std::mutex> lock(mu);
  for (auto& t : toAdd) {
    t->cancelled.store(true);
    t->finish(CURLE_ABORTED_BY_CALLBACK);
  }
  toAdd.clear();
}

CurlTransport::CurlTransport() : impl_(std::make_shared<Impl>()) {
  globalInit();
  impl_->multi = curl_multi_init();
  Impl* impl = impl_.get();
  impl_->worker = std::thread([impl] { impl->run(); });
}

CurlTransport::~CurlTransport() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stopping = true;
  }
  impl_->wake();
  if (impl_->worker.joinable()) impl_->worker.join();
  curl_multi_cleanup(impl_->multi);
  impl_->multi = nullptr;
}

std::shared_ptr<CurlTransport> CurlTransport::shared() {
  static std::shared_ptr<CurlTransport> instance = std::make_shared<CurlTransport>();
  return instance;
}

void CurlTransport::setSocketHook(SocketHook hook) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->socketHook = std::move(hook);
}

void CurlTransport::setBodyCap(size_t bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->bodyCap = bytes;
}

std::shared_ptr<HttpTask> CurlTransport::start(HttpRequest request, HttpCallbacks callbacks) {
  if (!callbacks.queue) callbacks.queue = platform::dispatch::mainQueue();
  auto t = std::make_shared<Transfer>();
  t->request = std::move(request);
  t->callbacks = std::move(callbacks);
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    t->socketHook = impl_->socketHook;
    t->bodyCap = t->request.maxBodySize ? t->request.maxBodySize : impl_->bodyCap;
  }
  if (!t->setUp()) {
    std::snprintf(t->errorBuffer, sizeof(t->errorBuffer), "cannot create a transfer");
    t->finish(CURLE_FAILED_INIT);
    return std::make_shared<CurlTask>(impl_, t);
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->toAdd.push_back(t);
  }
  impl_->wake();
  return std::make_shared<CurlTask>(impl_, t);
}

}  // namespace tq
