#include "gelmora/Service/Web/TsHttpHelper.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "OlderCurl.h"
#include "PexaraAPI/PXACrypto.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/Base/TQRedact.h"
#include "gelmora/Core/Localization.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Shared/Tessaryn.h"
#include "platform/dispatch/Queue.h"

namespace {

using Sender = TsHttpHelper::Sender;
using nlohmann::json;

constexpr const char* kEmptyText = "请求Web服务器失败，返回值为空！";
constexpr const char* kEmptySuggestion = "再来一次吧~";
constexpr const char* kFormatText = "请求Web服务器失败，返回值格式错误！";
constexpr const char* kSupportSuggestion = "联系客服处理此问题";
constexpr const char* kDownloadEmptyText = "文件下载失败，返回值长度等于0";
constexpr const char* kDownloadEmptySuggestion = "重新下载";
// The account service client keeps its base domain under this key of the REST configuration.
constexpr const char* kServiceDomainKey = "JVXDomain";

struct Settings {
  std::mutex mu;
  std::chrono::milliseconds timeout{15000};
  TsDownloadLimits limits;
  std::function<void()> feedbackHook;
};

Settings& settings() {
  static Settings s;
  return s;
}

TQError makeError(long long code, const std::string& description, const std::string& suggestion) {
  return TQError{"", code, gelmora::localizedString(description),
                 gelmora::localizedString(suggestion)};
}

std::string dumpSafe(const json& v) {
  return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The answer as a log line may show it: secrets masked.
std::string answerForLog(const json& answer) {
  return dumpSafe(tq::redacted(answer, tq::Side::Answer));
}

// "code" as a 32-bit integer: missing is 0; a number or whole decimal text is read; anything
// else (another kind, a fraction, out of range) is a malformed answer.
std::optional<std::int32_t> codeOf(const json& answer) {
  auto it = answer.find("code");
  if (it == answer.end() || it->is_null()) return 0;
  constexpr auto lo = static_cast<double>(std::numeric_limits<std::int32_t>::min());
  constexpr auto hi = static_cast<double>(std::numeric_limits<std::int32_t>::max());
  if (it->is_number_integer()) {
    auto n = it->get<std::int64_t>();
    if (n < lo || n > hi) return std::nullopt;
    return static_cast<std::int32_t>(n);
  }
  if (it->is_number_unsigned()) {
    auto n = it->get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(hi)) return std::nullopt;
    return static_cast<std::int32_t>(n);
  }
  if (it->is_number_float()) {
    double d = it->get<double>();
    if (!std::isfinite(d) || d != std::trunc(d) || d < lo || d > hi) return std::nullopt;
    return static_cast<std::int32_t>(d);
  }
  if (it->is_string()) {
    const auto& s = it->get_ref<const std::string&>();
    std::int32_t n = 0;
    const char* begin = s.data();
    if (!s.empty() && s[0] == '+') ++begin;
    auto [end, ec] = std::from_chars(begin, s.data() + s.size(), n);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return n;
  }
  return std::nullopt;
}

std::string infoOf(const json& answer) {
  auto it = answer.find("info");
  if (it != answer.end() && it->is_string()) return it->get<std::string>();
  return {};
}

bool codeFails(Sender sender, std::int32_t code) {
  switch (sender) {
    case Sender::Post:
      return code == -1 || code == 1 || code == 102;
    case Sender::PostJson:
      return code != 0;
    case Sender::AsynPost:
      return code == -1;
    case Sender::PostLog:
      return false;
  }
  return false;
}

void logFormatError(Sender sender, const std::string& url, std::string_view payloadForLog) {
  if (sender == Sender::Post) {
    MLOG().ERROR("URL=[" + url + "], Request Data=[" +
                 tq::redactedText(payloadForLog, tq::Side::Request) + "], 返回值解析失败");
  } else if (sender == Sender::PostJson) {
    MLOG().ERROR("请求失败：URL=[" + url + "],返回值格式错误！");
  }
}

void noteFeedback(const json& answer) {
  auto data = answer.find("data");
  if (data == answer.end() || !data->is_object()) return;
  auto feedback = data->find("feedback");
  if (feedback == data->end() || !feedback->is_string()) return;
  TsParamsDirectory::setValue("url_feedbackB", feedback->get<std::string>());
  std::function<void()> hook;
  {
    std::lock_guard lock(settings().mu);
    hook = settings().feedbackHook;
  }
  if (hook) platform::dispatch::postToMain(std::move(hook));
}

std::string formBody(std::string_view payload, bool jsonVariant) {
  std::string body = "info=" + Tessaryn::encryptedStringOfString(payload);
  if (jsonVariant) body += "&encrypt-type=pc-json";
  return body;
}

older::CurlOutcome send(const std::string& url, std::string body,
                        const std::atomic<bool>* cancel = nullptr) {
  older::CurlOptions options;
  options.cancel = cancel;
  options.method = "POST";
  options.headers = {"Content-Type: application/x-www-form-urlencoded"};
  options.body = std::move(body);
  options.total = TsHttpHelper::timeoutInterval();
  // Answers of this service are small; a runaway body ends as a transport error.
  options.cap = 16u << 20;
  return older::perform(url, options);
}

void consoleRequest(const char* title, const std::string& url, const std::string& reqData) {
  LOG::console(title);
  LOG::console("URL = " + url);
  LOG::console("REQ DATA = " + reqData);
}

}  // namespace

std::string TsHttpHelper::urlForPath(const std::string& path) {
  auto domain = TQAPIConfig::sharedInstance().configValueForKey(kServiceDomainKey);
  return "http://" + domain.value_or("") + path;
}

void TsHttpHelper::setTimeoutInterval(std::chrono::milliseconds timeout) {
  std::lock_guard lock(settings().mu);
  settings().timeout = timeout;
}

std::chrono::milliseconds TsHttpHelper::timeoutInterval() {
  std::lock_guard lock(settings().mu);
  return settings().timeout;
}

void TsHttpHelper::setDownloadLimits(const TsDownloadLimits& limits) {
  std::lock_guard lock(settings().mu);
  settings().limits = limits;
}

TsDownloadLimits TsHttpHelper::downloadLimits() {
  std::lock_guard lock(settings().mu);
  return settings().limits;
}

void TsHttpHelper::setFeedbackHook(std::function<void()> hook) {
  std::lock_guard lock(settings().mu);
  settings().feedbackHook = std::move(hook);
}

std::optional<json> TsHttpHelper::readAnswer(Sender sender, const std::string& url,
                                             std::string_view payloadForLog, std::string_view body,
                                             TQError* error) {
  auto fail = [&](TQError e) -> std::optional<json> {
    if (error) *error = std::move(e);
    return std::nullopt;
  };
  // The envelope answers nothing (or no bytes) for a body it cannot read; both count as empty.
  std::optional<std::string> plain = PXACrypto::decryptedDataFromData(body);
  if (!plain || plain->empty()) {
    if (sender == Sender::Post) {
      MLOG().ERROR("URL=[" + url + "], 返回值为空");
    } else if (sender == Sender::PostJson) {
      MLOG().ERROR("请求失败：URL=[" + url + "],返回值为空！");
    }
    return fail(makeError(kEmptyAnswerCode, kEmptyText, kEmptySuggestion));
  }
  json answer;
  try {
    answer = json::parse(*plain);
  } catch (const json::exception& e) {
    logFormatError(sender, url, payloadForLog);
    // The plain sender reports the parser's own text, the others the format-error text.
    std::string text = sender == Sender::Post ? e.what() : kFormatText;
    return fail(TQError{"", kFormatErrorCode,
                        sender == Sender::Post ? text : gelmora::localizedString(text),
                        gelmora::localizedString(kSupportSuggestion)});
  }
  std::optional<std::int32_t> code;
  if (answer.is_object()) code = codeOf(answer);
  if (!code) {
    logFormatError(sender, url, payloadForLog);
    return fail(makeError(kFormatErrorCode, kFormatText, kSupportSuggestion));
  }
  if (sender != Sender::PostLog) LOG::console("RES DATA = " + answerForLog(answer));
  if (codeFails(sender, *code)) {
    std::string info = infoOf(answer);
    switch (sender) {
      case Sender::Post:
        MLOG().ERROR("code!=0  URL=[" + url + "], 返回值:" + answerForLog(answer));
        return fail(makeError(*code, info, kSupportSuggestion));
      case Sender::PostJson:
        MLOG().ERROR("code!=0  URL=[" + url + "], 返回值:" + answerForLog(answer));
        return fail(
            makeError(*code, info, (*code == -1 || *code == 1) ? kSupportSuggestion : info));
      case Sender::AsynPost:
        LOG::console("错误信息：" + info);
        return fail(makeError(kAsynServiceErrorCode, info, kSupportSuggestion));
      case Sender::PostLog:
        break;
    }
  }
  if (sender == Sender::Post) noteFeedback(answer);
  return answer;
}

std::optional<json> TsHttpHelper::POST(const std::string& path, std::string_view payload,
                                       TQError* error) {
  const std::string url = urlForPath(path);
  consoleRequest("HTTP POST", url, tq::redactedText(payload, tq::Side::Request));
  auto got = send(url, formBody(payload, false));
  if (got.error) {
    // A transport failure of this sender is handed back without a log line.
    if (error) *error = got.error;
    return std::nullopt;
  }
  return readAnswer(Sender::Post, url, payload, got.body, error);
}

std::optional<json> TsHttpHelper::POST_JSON(const std::string& path, std::string_view jsonText,
                                            TQError* error, const std::atomic<bool>* cancel) {
  const std::string url = urlForPath(path);
  std::string body = formBody(jsonText, true);
  consoleRequest("HTTP POST JSON", url, body);
  auto got = send(url, body, cancel);
  if (got.error) {
    MLOG().ERROR("请求失败：URL=[" + url + "], ERROR：" + got.error.description);
    if (error) *error = got.error;
    return std::nullopt;
  }
  return readAnswer(Sender::PostJson, url, body, got.body, error);
}

void TsHttpHelper::POST_LOG(const std::string& path, std::string_view payload) {
  const std::string url = urlForPath(path);
  auto got = send(url, formBody(payload, false));
  if (got.error) return;
  TQError ignored;
  (void)readAnswer(Sender::PostLog, url, payload, got.body, &ignored);
}

void TsHttpHelper::ASYN_POST(const std::string& path, std::string_view payload) {
  const std::string url = urlForPath(path);
  consoleRequest("ASYN HTTP POST", url, tq::redactedText(payload, tq::Side::Request));
  std::string body = formBody(payload, false);
  std::thread([delegate = taskProtocol_, url, body = std::move(body),
               plain = std::string(payload)]() mutable {
    auto got = send(url, std::move(body));
    TQError error;
    std::optional<json> answer;
    if (got.error) {
      error = got.error;
    } else {
      answer = readAnswer(Sender::AsynPost, url, plain, got.body, &error);
    }
    if (!delegate) return;
    if (answer) {
      delegate->taskSuccess(*answer);
    } else {
      delegate->taskFail(error);
    }
  }).detach();
}

void TsHttpHelper::AsynDownloadFileWithAddress(const std::string& address,
                                               const std::string& savePath,
                                               const std::string& /*sha1Value*/) {
  std::thread([delegate = taskProtocol_, address, savePath, limits = downloadLimits()] {
    auto outcome = TsFileDownload::download(address, savePath, limits);
    if (!delegate) return;
    using Kind = TsDownloadOutcome::Kind;
    if (outcome.kind == Kind::Done) {
      delegate->taskSuccess(json(""));
    } else if (outcome.kind == Kind::Empty) {
      delegate->taskFail(makeError(kEmptyAnswerCode, kDownloadEmptyText, kDownloadEmptySuggestion));
    } else {
      delegate->taskFail(outcome.error);
    }
  }).detach();
}
