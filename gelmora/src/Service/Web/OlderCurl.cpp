#include "OlderCurl.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace older {

namespace {

struct Transfer {
  const CurlOptions* options = nullptr;
  CURL* easy = nullptr;
  std::string body;
  std::size_t received = 0;
  bool tooLarge = false;
  bool sinkFailed = false;
  bool idleExpired = false;
  bool cancelled = false;
  curl_off_t lastNow = -1;
  std::chrono::steady_clock::time_point lastMove = std::chrono::steady_clock::now();

  static size_t onBody(char* data, size_t size, size_t nmemb, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * nmemb;
    if (t->received + n > t->options->cap) {
      t->tooLarge = true;
      return 0;
    }
    t->received += n;
    if (t->options->sink) {
      if (!t->options->sink(data, n)) {
        t->sinkFailed = true;
        return 0;
      }
    } else {
      t->body.append(data, n);
    }
    if (t->options->progress) {
      curl_off_t expected = -1;
      if (curl_easy_getinfo(t->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected) != CURLE_OK)
        expected = -1;
      t->options->progress(t->received, static_cast<std::int64_t>(expected));
    }
    return n;
  }

  static int onProgress(void* user, curl_off_t, curl_off_t dlNow, curl_off_t, curl_off_t ulNow) {
    auto* t = static_cast<Transfer*>(user);
    if (t->options->cancel && t->options->cancel->load()) {
      t->cancelled = true;
      return 1;
    }
    auto now = std::chrono::steady_clock::now();
    curl_off_t moved = dlNow + ulNow;
    if (moved != t->lastNow) {
      t->lastNow = moved;
      t->lastMove = now;
      return 0;
    }
    if (t->options->idle.count() > 0 && now - t->lastMove > t->options->idle) {
      t->idleExpired = true;
      return 1;
    }
    return 0;
  }
};

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CurlOutcome perform(const std::string& url, const CurlOptions& options) {
  globalInit();
  CurlOutcome out;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  if (!easy) {
    out.error = TQError{TQAPITransportErrorDomain, TQAPITransportErrorOther,
                        "cannot create a transfer", std::nullopt};
    return out;
  }
  Transfer t;
  t.options = &options;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  CURL* e = easy.get();
  t.easy = e;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.cap));
  if (options.total.count() > 0) {
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(options.total.count()));
  }
  auto connectLimit = options.idle.count() > 0 ? options.idle : options.total;
  if (connectLimit.count() > 0) {
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectLimit.count()));
  }
  curl_slist* headers = nullptr;
  for (const auto& h : options.headers) headers = curl_slist_append(headers, h.c_str());
  headers = curl_slist_append(headers, "Expect:");
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerGuard(headers,
                                                                          curl_slist_free_all);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
  if (options.method == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(options.body.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, options.body.data());
  }

  CURLcode rc = curl_easy_perform(e);
  if (rc != CURLE_OK) {
    std::string text = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
    long code = TQAPITransportErrorOther;
    if (t.cancelled) {
      code = TQAPITransportErrorCancelled;
      text = "cancelled";
    } else if (t.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
      code = TQAPITransportErrorTooLarge;
      text = "answer larger than " + std::to_string(options.cap) + " bytes";
    } else if (t.idleExpired || rc == CURLE_OPERATION_TIMEDOUT) {
      code = TQAPITransportErrorTimedOut;
      if (t.idleExpired) text = "no data moved for " + std::to_string(options.idle.count()) + " ms";
    } else if (rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_RESOLVE_PROXY) {
      code = TQAPITransportErrorCannotResolve;
    } else if (rc == CURLE_COULDNT_CONNECT) {
      code = TQAPITransportErrorCannotConnect;
    } else if (t.sinkFailed) {
      text = "cannot write the received data";
    }
    out.error = TQError{TQAPITransportErrorDomain, code, text, std::nullopt};
    return out;
  }
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &out.status);
  out.body = std::move(t.body);
  return out;
}

}  // namespace older
