// The older HTTP layer against the stand-in on loopback: every sender against every kind of
// answer, transport failures, the raw form body, the feedback page and the file download.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "OlderTestSupport.h"
#include "Tovra/Codec/Base64.h"
#include "platform/dispatch/PumpedQueue.h"

using nlohmann::json;
using Mode = standin::OlderService::Mode;
using Sender = TsHttpHelper::Sender;

namespace {

constexpr const char* kPath = "/q5client/user/heartbeat";
constexpr const char* kSupport = "联系客服处理此问题";
constexpr const char* kEmptyText = "请求Web服务器失败，返回值为空！";
constexpr const char* kFormatText = "请求Web服务器失败，返回值格式错误！";

struct Outcome {
  bool ok = false;
  json answer;
  TQError error;
};

Outcome sendWith(Sender sender, const std::string& payload) {
  Outcome o;
  std::optional<json> answer;
  if (sender == Sender::Post) {
    answer = TsHttpHelper::POST(kPath, payload, &o.error);
  } else if (sender == Sender::PostJson) {
    answer = TsHttpHelper::POST_JSON(kPath, payload, &o.error);
  } else {
    auto delegate = std::make_shared<RecordingDelegate>();
    TsHttpHelper helper;
    helper.setTaskProtocol(delegate);
    helper.ASYN_POST(kPath, payload);
    EXPECT_TRUE(delegate->wait());
    if (!delegate->failed()) answer = delegate->success();
    o.error = delegate->error();
  }
  o.ok = answer.has_value();
  if (answer) o.answer = *answer;
  return o;
}

const char* senderName(Sender s) {
  switch (s) {
    case Sender::Post:
      return "POST";
    case Sender::PostJson:
      return "POST_JSON";
    case Sender::AsynPost:
      return "ASYN_POST";
    case Sender::PostLog:
      return "POST_LOG";
  }
  return "?";
}

// One row: the stand-in's answer, the sender, and what the caller and the log must see.
struct Row {
  std::string name;
  standin::OlderService::Script script;
  Sender sender;
  bool ok;
  long long code;           // error code when !ok
  std::string description;  // "" for "any non-empty text other than the format text"
  std::string suggestion;
  std::string errorLog;     // a substring of the one ERROR line, "" when none is written
  std::string consoleLine;  // a console line that must be there, "" for no check
};

standin::OlderService::Script answerScript(std::optional<long long> code,
                                           std::string info = "msg") {
  standin::OlderService::Script s;
  json a = {{"info", info}, {"data", {{"k", 1}}}};
  if (code) a["code"] = *code;
  s.answer = a;
  return s;
}

standin::OlderService::Script modeScript(Mode m) {
  standin::OlderService::Script s;
  s.mode = m;
  return s;
}

std::vector<Row> table() {
  const auto P = Sender::Post, J = Sender::PostJson, A = Sender::AsynPost;
  const std::string codeLine = "code!=0  URL=[";
  std::vector<Row> rows;
  for (auto s : {P, J, A}) rows.push_back({"code 0", answerScript(0), s, true, 0, "", "", "", ""});
  for (auto s : {P, J, A}) {
    rows.push_back({"no code", answerScript(std::nullopt), s, true, 0, "", "", "", ""});
  }
  rows.push_back({"code 1", answerScript(1), P, false, 1, "msg", kSupport, codeLine, ""});
  rows.push_back({"code 1", answerScript(1), J, false, 1, "msg", kSupport, codeLine, ""});
  rows.push_back({"code 1", answerScript(1), A, true, 0, "", "", "", ""});
  rows.push_back({"code -1", answerScript(-1), P, false, -1, "msg", kSupport, codeLine, ""});
  rows.push_back({"code -1", answerScript(-1), J, false, -1, "msg", kSupport, codeLine, ""});
  rows.push_back(
      {"code -1", answerScript(-1), A, false, 16899, "msg", kSupport, "", "错误信息：msg"});
  rows.push_back({"code 5", answerScript(5), P, true, 0, "", "", "", ""});
  rows.push_back({"code 5", answerScript(5), J, false, 5, "msg", "msg", codeLine, ""});
  rows.push_back({"code 5", answerScript(5), A, true, 0, "", "", "", ""});
  rows.push_back({"code 102", answerScript(102), P, false, 102, "msg", kSupport, codeLine, ""});
  rows.push_back({"code 102", answerScript(102), J, false, 102, "msg", "msg", codeLine, ""});
  rows.push_back({"code 102", answerScript(102), A, true, 0, "", "", "", ""});
  rows.push_back({"code 107", answerScript(107), P, true, 0, "", "", "", ""});
  rows.push_back({"code 107", answerScript(107), J, false, 107, "msg", "msg", codeLine, ""});
  rows.push_back({"code 107", answerScript(107), A, true, 0, "", "", "", ""});
  {
    auto s = answerScript(std::nullopt);
    s.answer->operator[]("code") = "5";  // numeric text counts as the number
    rows.push_back({"code as text", s, J, false, 5, "msg", "msg", codeLine, ""});
    auto bad = answerScript(std::nullopt);
    bad.answer->operator[]("code") = json::array({1});
    rows.push_back(
        {"code of wrong kind", bad, P, false, 16898, kFormatText, kSupport, "返回值解析失败", ""});
    auto big = answerScript(std::nullopt);
    big.answer->operator[]("code") = 4294967296LL;
    rows.push_back({"code beyond 32 bits", big, J, false, 16898, kFormatText, kSupport,
                    "返回值格式错误！", ""});
  }
  for (Mode m : {Mode::EmptyBody, Mode::Garbage}) {
    std::string n = m == Mode::EmptyBody ? "empty" : "garbage";
    rows.push_back(
        {n, modeScript(m), P, false, 16897, kEmptyText, "再来一次吧~", "返回值为空", ""});
    rows.push_back(
        {n, modeScript(m), J, false, 16897, kEmptyText, "再来一次吧~", ",返回值为空！", ""});
    rows.push_back({n, modeScript(m), A, false, 16897, kEmptyText, "再来一次吧~", "", ""});
  }
  rows.push_back({"not JSON", modeScript(Mode::ScrambledNonJson), P, false, 16898, "", kSupport,
                  "], Request Data=[", ""});
  rows.push_back({"not JSON", modeScript(Mode::ScrambledNonJson), J, false, 16898, kFormatText,
                  kSupport, ",返回值格式错误！", ""});
  rows.push_back({"not JSON", modeScript(Mode::ScrambledNonJson), A, false, 16898, kFormatText,
                  kSupport, "", ""});
  for (auto s : {P, J, A}) {
    rows.push_back({"array", modeScript(Mode::JsonArray), s, false, 16898, kFormatText, kSupport,
                    s == A ? "" : (s == P ? "返回值解析失败" : "返回值格式错误！"), ""});
  }
  return rows;
}

}  // namespace

class OlderHttpHelperTest : public OlderServiceTest {};

TEST_F(OlderHttpHelperTest, SenderAgainstEveryKindOfAnswer) {
  for (const auto& row : table()) {
    SCOPED_TRACE(row.name + " / " + senderName(row.sender));
    service.setScript(kPath, row.script);
    console.clear();
    Outcome o = sendWith(row.sender, "uid=7&mac=AA");
    EXPECT_EQ(o.ok, row.ok);
    if (row.ok) {
      EXPECT_TRUE(o.answer.is_object());
      EXPECT_EQ(o.answer.value("info", ""), "msg");
    } else {
      EXPECT_EQ(o.error.domain, "");
      EXPECT_EQ(o.error.code, row.code);
      if (row.description.empty()) {
        EXPECT_FALSE(o.error.description.empty());
        EXPECT_NE(o.error.description, kFormatText);
      } else {
        EXPECT_EQ(o.error.description, row.description);
      }
      EXPECT_EQ(o.error.recoverySuggestion.value_or("<none>"), row.suggestion);
    }
    auto errors = errorLines();
    if (row.errorLog.empty()) {
      EXPECT_EQ(errors.size(), 0u) << (errors.empty() ? "" : errors.front());
    } else {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_NE(errors[0].find(row.errorLog), std::string::npos) << errors[0];
    }
    if (!row.consoleLine.empty()) {
      EXPECT_TRUE(console.anyContains(row.consoleLine));
    }
  }
}

TEST_F(OlderHttpHelperTest, ConsoleShowsTitleUrlRequestAndAnswerWithSecretsMasked) {
  service.setAnswer(kPath, {{"code", 0}, {"info", "ok"}, {"data", {{"token", "tok-SECRET"}}}});
  TQError error;
  ASSERT_TRUE(TsHttpHelper::POST(kPath, "phone=138&sms_code=987654&mac=AA", &error));
  auto lines = console.lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "HTTP POST");
  EXPECT_EQ(lines[1], "URL = http://" + service.address() + kPath);
  EXPECT_EQ(lines[2].rfind("REQ DATA = phone=138&sms_code=", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("RES DATA = ", 0), 0u);
  EXPECT_FALSE(console.anyContains("987654"));
  EXPECT_FALSE(console.anyContains("tok-SECRET"));
  // The caller still gets the answer as it came.
  EXPECT_EQ(TsHttpHelper::POST(kPath, "x=1", &error)->at("data").at("token"), "tok-SECRET");
}

TEST_F(OlderHttpHelperTest, RawBodyCarriesTheScrambledPayloadUnescaped) {
  // The group "a=A" encodes (inverted) as "nsK+": escaping the body would show.
  const std::string payload = "a=A&b=1+x";
  std::string inverted = payload;
  for (char& c : inverted) c = static_cast<char>(~static_cast<unsigned char>(c));
  std::string encoded = tq::base64Encode(inverted);
  ASSERT_NE(encoded.find('+'), std::string::npos);
  while (!encoded.empty() && encoded.back() == '=') encoded.pop_back();

  TQError error;
  ASSERT_TRUE(TsHttpHelper::POST(kPath, payload, &error));
  ASSERT_TRUE(TsHttpHelper::POST_JSON(kPath, R"({"uid":"7"})", &error));
  auto seen = service.requests(kPath);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].body.rfind("info=", 0), 0u);
  EXPECT_NE(seen[0].body.find(encoded), std::string::npos) << seen[0].body;
  EXPECT_EQ(seen[0].body.find('%'), std::string::npos);
  EXPECT_FALSE(seen[0].json);
  EXPECT_EQ(seen[0].payload, payload);
  EXPECT_TRUE(seen[1].json);
  EXPECT_EQ(seen[1].payload, R"({"uid":"7"})");
  EXPECT_TRUE(seen[1].body.ends_with("&encrypt-type=pc-json"));
}

TEST_F(OlderHttpHelperTest, TransportFailuresPassThroughUnchanged) {
  // A port with nothing listening: bind one, note it, close it.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  TQAPIConfig::sharedInstance().setConfigValue("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)),
                                               "JVXDomain");
  TQError error;
  EXPECT_FALSE(TsHttpHelper::POST(kPath, "a=1", &error));
  EXPECT_EQ(error.domain, TQAPITransportErrorDomain);
  EXPECT_EQ(error.code, TQAPITransportErrorCannotConnect);
  EXPECT_TRUE(errorLines().empty());  // the plain sender does not log its transport error

  EXPECT_FALSE(TsHttpHelper::POST_JSON(kPath, "{}", &error));
  EXPECT_EQ(error.code, TQAPITransportErrorCannotConnect);
  ASSERT_EQ(errorLines().size(), 1u);
  EXPECT_NE(errorLines()[0].find("请求失败：URL=["), std::string::npos);

  // A silent server: the time-out ends the wait.
  TQAPIConfig::sharedInstance().setConfigValue(service.address(), "JVXDomain");
  standin::OlderService::Script silent;
  silent.mode = Mode::Silence;
  service.setScript(kPath, silent);
  TsHttpHelper::setTimeoutInterval(std::chrono::milliseconds(300));
  EXPECT_FALSE(TsHttpHelper::POST(kPath, "a=1", &error));
  EXPECT_EQ(error.domain, TQAPITransportErrorDomain);
  EXPECT_EQ(error.code, TQAPITransportErrorTimedOut);
  // A dropped connection is a transport error too.
  service.releaseSilent();
  service.setScript(kPath, modeScript(Mode::Drop));
  EXPECT_FALSE(TsHttpHelper::POST(kPath, "a=1", &error));
  EXPECT_EQ(error.domain, TQAPITransportErrorDomain);
}

TEST_F(OlderHttpHelperTest, FeedbackPageIsStoredAndShownOnceAndListDataComesBackUnchanged) {
  platform::dispatch::ScopedMainQueue main;
  int shown = 0;
  bool onMain = false;
  TsHttpHelper::setFeedbackHook([&] {
    ++shown;
    onMain = platform::dispatch::isMainThread();
  });
  service.setAnswer(kPath, {{"code", 0}, {"data", {{"feedback", "http://fb.example/page"}}}});
  TQError error;
  // Sent from another thread, as callers are off the main queue.
  std::optional<json> answer;
  std::thread([&] { answer = TsHttpHelper::POST(kPath, "a=1", &error); }).join();
  ASSERT_TRUE(answer);
  auto stored = TsParamsDirectory::getValue("url_feedbackB");
  ASSERT_TRUE(stored);
  EXPECT_EQ(std::get<std::string>(*stored), "http://fb.example/page");
  EXPECT_EQ(shown, 0);
  main.queue().pump();
  EXPECT_EQ(shown, 1);
  EXPECT_TRUE(onMain);

  // The JSON variant does not look for the page.
  TsParamsDirectory::setValue("url_feedbackB", std::string("old"));
  ASSERT_TRUE(TsHttpHelper::POST_JSON(kPath, "{}", &error));
  EXPECT_EQ(std::get<std::string>(*TsParamsDirectory::getValue("url_feedbackB")), "old");

  json list = {{"code", 0}, {"data", json::array({1, "two", json::object()})}};
  service.setAnswer(kPath, list);
  answer = TsHttpHelper::POST(kPath, "a=1", &error);
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, list);
  main.queue().pump();
  EXPECT_EQ(shown, 1);
}

TEST_F(OlderHttpHelperTest, PostLogReadsAndDropsTheAnswerWithoutLogging) {
  for (Mode m : {Mode::Answer, Mode::EmptyBody, Mode::JsonArray, Mode::ScrambledNonJson}) {
    service.setScript(kPath, modeScript(m));
    TsHttpHelper::POST_LOG(kPath, "uid=1&details=x");
  }
  EXPECT_EQ(service.requests(kPath).size(), 4u);
  EXPECT_TRUE(console.lines().empty());
}

class OlderDownloadTest : public OlderServiceTest {
 protected:
  std::shared_ptr<RecordingDelegate> download(const std::string& url, const std::string& path,
                                              const std::string& sha1 = "") {
    auto delegate = std::make_shared<RecordingDelegate>();
    TsHttpHelper helper;
    helper.setTaskProtocol(delegate);
    helper.AsynDownloadFileWithAddress(url, path, sha1);
    EXPECT_TRUE(delegate->wait());
    return delegate;
  }
  std::string url(const std::string& path) { return "http://" + service.address() + path; }
  static std::string read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::size_t filesIn(const std::filesystem::path& d) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(d),
                                                  std::filesystem::directory_iterator()));
  }
};

TEST_F(OlderDownloadTest, WritesTheWholeFileAndIgnoresTheHashArgument) {
  service.putFile("/files/a.txt", "line one\nline two\n");
  auto target = dir.write("lib/area_isp.txt", "old content");
  auto d = download(url("/files/a.txt"), target, "0000000000000000000000000000000000000000");
  EXPECT_FALSE(d->failed());
  EXPECT_EQ(d->success(), json(""));
  EXPECT_EQ(read(target), "line one\nline two\n");
  EXPECT_EQ(filesIn(target.parent_path()), 1u);  // no temporary file left beside it
}

TEST_F(OlderDownloadTest, FailuresKeepTheOldFile) {
  auto target = dir.write("lib/area_isp.txt", "old content");
  service.putFile("/files/empty", "");
  service.putFile("/files/drop", "xxxx");
  standin::OlderService::Script drop;
  drop.mode = Mode::Drop;
  service.setFileScript("/files/drop", drop);

  auto empty = download(url("/files/empty"), target);
  ASSERT_TRUE(empty->failed());
  EXPECT_EQ(empty->error().code, 16897);
  EXPECT_EQ(empty->error().description, "文件下载失败，返回值长度等于0");
  EXPECT_EQ(empty->error().recoverySuggestion, "重新下载");

  auto dropped = download(url("/files/drop"), target);
  ASSERT_TRUE(dropped->failed());
  EXPECT_EQ(dropped->error().domain, TQAPITransportErrorDomain);

  auto missing = download(url("/files/none"), target);  // 404 is no file
  EXPECT_TRUE(missing->failed());

  auto refused = download("file:///etc/hostname", target);
  ASSERT_TRUE(refused->failed());
  EXPECT_EQ(service.fileHits("/files/none"), 1u);

  EXPECT_EQ(read(target), "old content");
  EXPECT_EQ(filesIn(target.parent_path()), 1u);

  service.putFile("/files/ok", "new");
  auto unwritable = download(url("/files/ok"), (dir.path() / "no-such-dir" / "f.txt").string());
  ASSERT_TRUE(unwritable->failed());
  EXPECT_FALSE(unwritable->error().description.empty());
}

TEST_F(OlderDownloadTest, LimitsEndATrickleAndAnOversizedBody) {
  auto target = dir.write("lib/area_isp.txt", "old content");
  service.putFile("/files/slow", std::string(200, 'x'));
  standin::OlderService::Script trickle;
  trickle.mode = Mode::Trickle;
  trickle.delay = std::chrono::milliseconds(20);
  service.setFileScript("/files/slow", trickle);
  TsDownloadLimits limits;
  limits.deadline = std::chrono::milliseconds(500);
  auto slow = TsFileDownload::download(url("/files/slow"), target, limits);
  EXPECT_EQ(slow.kind, TsDownloadOutcome::Kind::Transport);
  EXPECT_EQ(slow.error.code, TQAPITransportErrorTimedOut);

  service.putFile("/files/big", std::string(4096, 'y'));
  limits = TsDownloadLimits{};
  limits.cap = 1000;
  auto big = TsFileDownload::download(url("/files/big"), target, limits);
  EXPECT_EQ(big.kind, TsDownloadOutcome::Kind::Transport);
  EXPECT_EQ(big.error.code, TQAPITransportErrorTooLarge);
  EXPECT_EQ(read(target), "old content");
  EXPECT_EQ(filesIn(target.parent_path()), 1u);
}
