#include <gtest/gtest.h>
#include <netinet/in.h>
#include <platform/dispatch/PumpedQueue.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/Base/TQLogger.h"
#include "Tovra/REST/CurlTransport.h"
#include "Tovra/REST/TQCall.h"
#include "Tovra/REST/TQRestEngine.h"
#include "standin/HttpStandin.h"

namespace {

using standin::Reply;

class TestEngine : public TQRestEngine {
 public:
  std::optional<std::string> domain;
  std::optional<std::string> root;
  std::optional<std::string> baseDomain() const override { return domain; }
  std::optional<std::string> rootPath() const override { return root; }
};

TestEngine* gEngine = nullptr;

class TestAPI : public TQRestAPI {
 public:
  TQAPIEngine& engine() override { return *gEngine; }
};

struct LoginReq : TQAPIModel {
  std::optional<std::string> email;
  std::optional<std::string> password;
  bool operator==(const LoginReq&) const = default;
  static constexpr auto fields() {
    return std::make_tuple(tq::field("email", &LoginReq::email),
                           tq::field("password", &LoginReq::password));
  }
};

struct Item : TQAPIModel {
  std::optional<std::string> name;
  std::optional<long long> size;
  bool operator==(const Item&) const = default;
  static constexpr auto fields() {
    return std::make_tuple(tq::field("name", &Item::name), tq::field("size", &Item::size));
  }
};

struct ItemCall : tq::Call<ItemCall, LoginReq, Item, TestAPI> {
  static constexpr const char* kPath = "/item";
  static constexpr const char* kClassName = "ItemCall";
};

struct PlainCall : tq::Call<PlainCall, tq::NoModel, tq::NoModel, TestAPI> {
  static constexpr const char* kPath = "/item";
};

struct RefusingCall : ItemCall {
  bool prepareParams() override { return false; }
};

class RecordingLogger : public TQLoggerProtocol {
 public:
  void logInfo(const std::string& t) override { add(t); }
  void logWarn(const std::string& t) override { add(t); }
  void logError(const std::string& t) override { add(t); }
  std::string all() {
    std::lock_guard<std::mutex> lock(mu);
    return text;
  }

 private:
  void add(const std::string& t) {
    std::lock_guard<std::mutex> lock(mu);
    text += t + "\n";
  }
  std::mutex mu;
  std::string text;
};

// What reached a call's handlers, in order.
struct Trace {
  std::vector<std::string> events;
  bool allOnMain = true;
};

class TQRestEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    engine = std::make_unique<TestEngine>();
    engine->domain = server.hostPort();
    // A transport of its own, so that its connections close with the test.
    auto manager = TQSessionManager::makeDefault();
    manager->transport = std::make_shared<tq::CurlTransport>();
    engine->setManager(manager);
    gEngine = engine.get();
    config().reset();
    logger = std::make_shared<RecordingLogger>();
    TQLogger::setLogger(logger);
    config().setGlobalSuccessHandler([this](TQAPI&) { record("global-success"); });
    config().setGlobalFailedHandler([this](TQAPI&) { record("global-failed"); });
    answer(R"({"code":0,"data":{"name":"n","size":3}})");
  }
  void TearDown() override {
    TQLogger::setLogger(nullptr);
    config().reset();
    gEngine = nullptr;
    engine.reset();
    server.stop();
  }

  static TQAPIConfig& config() { return TQAPIConfig::sharedInstance(); }

  void answer(const std::string& body, const std::string& type = "application/json") {
    server.handle("/item",
                  [body, type](const standin::Request&) { return Reply::text(body, type); });
  }

  void record(const std::string& e) {
    trace.events.push_back(e);
    trace.allOnMain = trace.allOnMain && platform::dispatch::isMainThread();
  }

  template <class C>
  std::shared_ptr<C> make() {
    auto c = std::make_shared<C>();
    c->setWhenSucceed([this](TQAPI&) { record("succeed"); });
    c->setWhenFailed([this](TQAPI&) { record("failed"); });
    c->setWhenCancelled([this](TQAPI&) { record("cancelled"); });
    return c;
  }

  // Sends and pumps the main queue until the call has ended.
  template <class C>
  void sendAndWait(const std::shared_ptr<C>& c) {
    c->send();
    main.queue().runUntil([&] { return c->status() >= TQAPI::TQAPIStatusSuccess; });
  }

  platform::dispatch::ScopedMainQueue main;
  standin::HttpStandin server;
  std::unique_ptr<TestEngine> engine;
  std::shared_ptr<RecordingLogger> logger;
  Trace trace;
};

TEST_F(TQRestEngineTest, SuccessMapsModelKeepsWholeAnswerAndRunsCallbackBeforeGlobal) {
  config().setGlobalHeaderValue("v1", "X-Global");
  auto c = make<ItemCall>();
  c->req().email = "a@b.c";
  sendAndWait(c);
  ASSERT_EQ(c->status(), TQAPI::TQAPIStatusSuccess) << c->lastError().description;
  ASSERT_TRUE(c->resp());
  EXPECT_EQ(c->resp()->name, "n");
  EXPECT_EQ(c->resp()->size, 3);
  EXPECT_EQ(c->respData(), nlohmann::json::parse(R"({"code":0,"data":{"name":"n","size":3}})"));
  EXPECT_EQ(trace.events, (std::vector<std::string>{"succeed", "global-success"}));
  EXPECT_TRUE(trace.allOnMain);
  EXPECT_EQ(c->url(), "http://" + server.hostPort() + "/item");

  auto log = server.requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].method, "POST");
  EXPECT_EQ(nlohmann::json::parse(log[0].body), nlohmann::json::parse(R"({"email":"a@b.c"})"));
  EXPECT_EQ(log[0].header("X-Global"), "v1");
  EXPECT_EQ(log[0].header("Content-Type"), "application/json");
}

TEST_F(TQRestEngineTest, UrlRules) {
  struct Case {
    std::optional<std::string> domain;
    std::optional<std::string> root;
    bool ssl;
    std::string path;
    std::optional<std::string> url;
  };
  const Case cases[] = {
      {"h:1", std::nullopt, false, "/a/b", "http://h:1/a/b"},
      {"h:1", "/root", true, "/a", "https://h:1/root/a"},
      {"h:1", std::nullopt, true, "https://other/x", "https://other/x"},
      {std::nullopt, std::nullopt, false, "http://other/x", "http://other/x"},
      {"", std::nullopt, false, "/a", std::nullopt},
      {std::nullopt, "/r", false, "/a", std::nullopt},
  };
  for (const auto& c : cases) {
    engine->domain = c.domain;
    engine->root = c.root;
    config().setUseSSL(c.ssl);
    TestAPI api;
    api.setPath(c.path);
    EXPECT_EQ(engine->urlFor(api), c.url) << c.path;
  }
}

TEST_F(TQRestEngineTest, WholeUrlPathIsSentUnchanged) {
  engine->domain = "";
  auto c = make<TestAPI>();
  c->setPath(server.baseUrl() + "/item");
  c->setMethod("POST");
  c->send();
  main.queue().runUntil([&] { return c->status() >= TQAPI::TQAPIStatusSuccess; });
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(TQRestEngineTest, NoBaseDomainFailsWithoutSending) {
  engine->domain = "";
  auto c = make<ItemCall>();
  c->send();
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(c->lastError(), (TQError{TQAPILocalErrorDomain, 0, "Can't get URL", std::nullopt}));
  EXPECT_EQ(trace.events, (std::vector<std::string>{"failed", "global-failed"}));
  EXPECT_NE(logger->all().find("Can't get URLString from"), std::string::npos);
  main.pump();
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(TQRestEngineTest, ServiceErrorsTable) {
  struct Case {
    const char* answer;
    int64_t status;
    long long code;
    const char* text;
  };
  const Case cases[] = {
      {R"({"code":5,"msg":"m"})", TQAPI::TQAPIStatusFailed, 5, "m"},
      {R"({"code":5,"msg":"m","info":"i"})", TQAPI::TQAPIStatusFailed, 5, "i"},
      {R"({"code":7})", TQAPI::TQAPIStatusFailed, 7, ""},
      {R"({"code":"12x","info":3})", TQAPI::TQAPIStatusFailed, 12, "3"},
      {R"({"code":1e300,"info":"big"})", TQAPI::TQAPIStatusFailed, INT64_MAX, "big"},
      {R"({"code":"0","data":{"name":"z"}})", TQAPI::TQAPIStatusSuccess, 0, nullptr},
      {R"({"data":{"name":"z"}})", TQAPI::TQAPIStatusSuccess, 0, nullptr},
      {R"({"code":null})", TQAPI::TQAPIStatusSuccess, 0, nullptr},
  };
  for (const auto& k : cases) {
    answer(k.answer);
    auto c = make<ItemCall>();
    sendAndWait(c);
    EXPECT_EQ(c->status(), k.status) << k.answer;
    if (k.text) {
      EXPECT_EQ(c->lastError(), (TQError{TQAPIServerErrorDomain, k.code, k.text, std::nullopt}))
          << k.answer;
    } else {
      EXPECT_FALSE(c->lastError()) << k.answer;
    }
  }
}

TEST_F(TQRestEngineTest, ServiceErrorStillMapsPayload) {
  answer(R"({"code":9,"info":"x","data":{"name":"kept"}})");
  auto c = make<ItemCall>();
  sendAndWait(c);
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusFailed);
  ASSERT_TRUE(c->resp());
  EXPECT_EQ(c->resp()->name, "kept");
  EXPECT_TRUE(c->hasResp());
}

TEST_F(TQRestEngineTest, RawPayloadWithoutAutoMapping) {
  for (const char* payload : {R"({"a":1})", "[1,2]", "\"text\"", "4"}) {
    answer(std::string(R"({"code":0,"data":)") + payload + "}");
    auto c = make<ItemCall>();
    c->setAutoSerializingResp(false);
    sendAndWait(c);
    EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess) << payload;
    EXPECT_EQ(c->rawResp(), nlohmann::json::parse(payload));
    EXPECT_FALSE(c->resp());
  }
}

TEST_F(TQRestEngineTest, PayloadsWithoutResponseClassOrObjectLeaveRespUnset) {
  answer(R"({"data":[{"name":"a"}]})");
  auto plain = make<PlainCall>();
  sendAndWait(plain);
  EXPECT_EQ(plain->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_FALSE(plain->hasResp());

  // Arrays and scalars where an object is expected: no payload, no error.
  for (const char* body : {"[1,2,3]", R"({"code":0,"data":5})", R"({"code":0,"data":"x"})"}) {
    answer(body);
    auto c = make<ItemCall>();
    sendAndWait(c);
    EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess) << body;
    EXPECT_FALSE(c->resp()) << body;
  }
}

TEST_F(TQRestEngineTest, BadAnswersFailWithTransportDomainErrors) {
  struct Case {
    std::function<void()> arrange;
    long long code;
  };
  std::string deep = std::string(300, '[') + std::string(300, ']');
  const Case cases[] = {
      {[&] { server.setGarbage(true); }, TQAPITransportErrorBadAnswer},
      {[&] { server.setStatus(503); }, TQAPITransportErrorBadStatus},
      {[&] { answer("{}", "text/html"); }, TQAPITransportErrorBadContentType},
      {[&] { answer(deep); }, TQAPITransportErrorBadAnswer},
      {[&] { answer(R"({"data":{"name":{"x":1}},"code":0})"); }, -1},  // plain wrong kind: ok
      {[&] { answer(R"({"code":0,"data":[1]})"); }, TQAPIModelErrorWrongKind},
  };
  for (const auto& k : cases) {
    server.setGarbage(false);
    server.setStatus(std::nullopt);
    k.arrange();
    auto c = make<ItemCall>();
    sendAndWait(c);
    if (k.code < 0) {
      EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess);
      continue;
    }
    EXPECT_EQ(c->status(), TQAPI::TQAPIStatusFailed);
    EXPECT_EQ(c->lastError().code, k.code) << c->lastError().description;
    EXPECT_FALSE(c->lastError().description.empty());
  }
}

TEST_F(TQRestEngineTest, EmptyOrBlankBodyIsNoObjectAndNoError) {
  for (const char* body : {"", " "}) {
    answer(body, "text/plain");
    auto c = make<ItemCall>();
    sendAndWait(c);
    EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess);
    EXPECT_TRUE(c->respData().is_null());
    EXPECT_FALSE(c->resp());
  }
}

TEST_F(TQRestEngineTest, RefusedParametersFailWithNoError) {
  auto c = make<RefusingCall>();
  c->send();
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_TRUE(c->lastErrors().empty());
  EXPECT_FALSE(c->lastError());
  EXPECT_EQ(trace.events, (std::vector<std::string>{"failed", "global-failed"}));
  main.pump();
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(TQRestEngineTest, CancelPendingRunsCancelBlockFirstAndDropsTheLateOutcome) {
  server.setHold(true);
  auto c = make<ItemCall>();
  c->send();
  ASSERT_TRUE(server.waitForHeld(1));
  auto block = c->cancelBlock();
  ASSERT_TRUE(block);
  bool blockRan = false;
  c->setCancelBlock([&, block] {
    blockRan = true;
    record("cancel-block");
    block();
  });
  c->cancel();
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusCancelled);
  EXPECT_TRUE(blockRan);
  server.setHold(false);
  config().setGlobalSuccessHandler(nullptr);
  // A second call through the same transport orders behind the cancelled one's outcome.
  auto probe = std::make_shared<PlainCall>();
  sendAndWait(probe);
  main.pump();
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusCancelled);
  EXPECT_EQ(trace.events, (std::vector<std::string>{"cancel-block", "cancelled"}));
  EXPECT_TRUE(c->lastErrors().empty());
}

TEST_F(TQRestEngineTest, CancellingAFinishedCallDoesNothing) {
  auto c = make<ItemCall>();
  sendAndWait(c);
  c->cancel();
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess);
  answer(R"({"code":3})");
  auto f = make<ItemCall>();
  sendAndWait(f);
  f->cancel();
  EXPECT_EQ(f->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(std::count(trace.events.begin(), trace.events.end(), "cancelled"), 0);
}

TEST_F(TQRestEngineTest, SendingAgainStartsClean) {
  answer(R"({"code":4,"data":{"name":"first"}})");
  auto c = make<ItemCall>();
  sendAndWait(c);
  ASSERT_EQ(c->status(), TQAPI::TQAPIStatusFailed);
  ASSERT_TRUE(c->resp());

  // Sent again and cancelled while held: nothing of the first outcome is left.
  server.setHold(true);
  c->send();
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusPending);
  EXPECT_TRUE(c->lastErrors().empty());
  EXPECT_FALSE(c->resp());
  EXPECT_TRUE(c->respData().is_null());
  ASSERT_TRUE(server.waitForHeld(1));
  c->cancel();
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusCancelled);
  server.setHold(false);

  answer(R"({"code":0,"data":{"name":"second"}})");
  sendAndWait(c);
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(c->resp()->name, "second");
  EXPECT_TRUE(c->lastErrors().empty());
}

TEST_F(TQRestEngineTest, ClosedPortFailsWithTransportError) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  engine->domain = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  auto c = make<ItemCall>();
  sendAndWait(c);
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(c->lastError().domain, TQAPITransportErrorDomain);
  EXPECT_EQ(c->lastError().code, TQAPITransportErrorCannotConnect);
  EXPECT_EQ(trace.events, (std::vector<std::string>{"failed", "global-failed"}));
}

TEST_F(TQRestEngineTest, IdleTimeOutFollowsTheConfiguration) {
  config().setTimeoutInterval(1.0f);
  server.setHold(true);
  auto c = make<ItemCall>();
  sendAndWait(c);
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(c->lastError().code, TQAPITransportErrorTimedOut);
  server.setHold(false);
}

TEST_F(TQRestEngineTest, RemovedGlobalHeaderIsNotSent) {
  config().setGlobalHeaderValue("1", "X-Gone");
  config().setGlobalHeaderValue("2", "X-Stay");
  sendAndWait(make<ItemCall>());
  config().setGlobalHeaderValue(std::nullopt, "X-Gone");
  sendAndWait(make<ItemCall>());
  auto log = server.requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].header("X-Gone"), "1");
  EXPECT_FALSE(log[1].header("X-Gone"));
  EXPECT_EQ(log[1].header("X-Stay"), "2");
}

TEST_F(TQRestEngineTest, LogsMaskSecrets) {
  config().setGlobalHeaderValue("tok-123", "token");
  auto c = make<ItemCall>();
  c->req().email = "a@b.c";
  c->req().password = "hunter2";
  sendAndWait(c);
  std::string cmd = c->curlCommandLineString();
  std::string logs = logger->all() + c->description() + cmd;
  EXPECT_EQ(logs.find("hunter2"), std::string::npos) << logs;
  EXPECT_EQ(logs.find("tok-123"), std::string::npos) << logs;
  EXPECT_NE(logs.find("a@b.c"), std::string::npos);
  EXPECT_EQ(cmd.rfind("curl -X POST -H 'token: ***' 'http://", 0), 0u) << cmd;
  EXPECT_NE(cmd.find(" -d '{\"email\":\"a@b.c\",\"password\":\"***\"}'"), std::string::npos) << cmd;
  EXPECT_NE(c->description().find("<ItemCall status: Success >"), std::string::npos);
  // The request itself carries the real values.
  EXPECT_NE(server.requests()[0].body.find("hunter2"), std::string::npos);
}

TEST_F(TQRestEngineTest, ProgressArrivesOffTheMainQueue) {
  std::string big = R"({"code":0,"data":{"name":")" + std::string(1 << 20, 'x') + "\"}}";
  answer(big);
  std::atomic<bool> any{false};
  std::atomic<bool> onMain{false};
  auto c = make<ItemCall>();
  c->setWhenProgress([&](double f) {
    any = true;
    if (platform::dispatch::isMainThread()) onMain = true;
    EXPECT_GE(f, 0.0);
    EXPECT_LE(f, 1.0);
  });
  sendAndWait(c);
  EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_TRUE(any.load());
  EXPECT_FALSE(onMain.load());
}

}  // namespace
