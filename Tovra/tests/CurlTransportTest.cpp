#include <gtest/gtest.h>
#include <netinet/in.h>
#include <platform/dispatch/PumpedQueue.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "Tovra/REST/CurlTransport.h"
#include "standin/HttpStandin.h"

namespace {

using namespace std::chrono_literals;
using tq::CurlTransport;
using tq::HttpRequest;
using tq::HttpResponse;

struct Outcome {
  int calls = 0;
  HttpResponse response;
  TQError error;
  bool onMain = false;
};

class CurlTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    server.handle("/hello", [](const standin::Request& r) {
      standin::Reply reply = standin::Reply::json(R"({"method":")" + r.method + R"("})");
      reply.headers.emplace_back("X-Answer", "yes");
      return reply;
    });
    transport = std::make_shared<CurlTransport>();
  }

  // Starts the request and pumps the main queue until its one outcome arrives.
  Outcome run(HttpRequest req, tq::HttpCallbacks cb = {}) {
    auto out = std::make_shared<Outcome>();
    cb.completion = [out](const HttpResponse& r, const TQError& e) {
      ++out->calls;
      out->response = r;
      out->error = e;
      out->onMain = platform::dispatch::isMainThread();
    };
    transport->start(std::move(req), std::move(cb));
    main.queue().runUntil([&] { return out->calls > 0; });
    main.pump();
    return *out;
  }

  HttpRequest get(const std::string& path) {
    HttpRequest r;
    r.url = server.baseUrl() + path;
    return r;
  }

  platform::dispatch::ScopedMainQueue main;
  standin::HttpStandin server;
  std::shared_ptr<CurlTransport> transport;
};

TEST_F(CurlTransportTest, GetAndPostCarryHeadersBodyStatusAndReason) {
  auto g = run(get("/hello?a=1"));
  ASSERT_FALSE(g.error) << g.error.description;
  EXPECT_TRUE(g.onMain);
  EXPECT_EQ(g.response.status, 200);
  EXPECT_EQ(g.response.reasonPhrase, "OK");
  EXPECT_EQ(g.response.header("x-answer"), "yes");
  EXPECT_EQ(g.response.mediaType(), "application/json");
  EXPECT_EQ(g.response.body, R"({"method":"GET"})");

  HttpRequest p = get("/hello");
  p.method = "POST";
  p.body = std::string("{\"k\":\"\xc3\xa9\"}\0x", 13);
  p.headers = {{"X-One", "1"}, {"Content-Type", "application/json"}};
  auto r = run(p);
  ASSERT_FALSE(r.error);
  EXPECT_EQ(r.response.body, R"({"method":"POST"})");
  auto log = server.requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].query, "a=1");
  EXPECT_EQ(log[1].body, p.body);
  EXPECT_EQ(log[1].header("X-One"), "1");
  EXPECT_FALSE(log[1].header("Expect")) << "no 100-continue round trip";
}

TEST_F(CurlTransportTest, ErrorStatusesAreAnswersWithTheirReason) {
  server.setStatus(404);
  auto r = run(get("/hello"));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.response.status, 404);
  EXPECT_EQ(r.response.reasonPhrase, "Not Found");
}

TEST_F(CurlTransportTest, RedirectsAreFollowedAndCompressionAccepted) {
  server.handle("/moved", [](const standin::Request&) {
    standin::Reply r = standin::Reply::text("", "text/plain", 302);
    r.headers.emplace_back("Location", "/big");
    return r;
  });
  std::string big = "[" + std::string(20000, ' ') + "1]";
  server.handle("/big", [big](const standin::Request&) { return standin::Reply::json(big); });
  auto r = run(get("/moved"));
  ASSERT_FALSE(r.error) << r.error.description;
  EXPECT_EQ(r.response.status, 200);
  EXPECT_EQ(r.response.body, big);
  EXPECT_NE(r.response.url.find("/big"), std::string::npos);
  EXPECT_FALSE(r.response.header("Content-Encoding").empty()) << "the stand-in compressed it";
}

TEST_F(CurlTransportTest, ProgressRunsOnTheWorkerAndReachesOne) {
  std::string big(1 << 20, 'x');
  server.handle("/big", [big](const standin::Request&) {
    return standin::Reply::text(big, "application/octet-stream");
  });
  std::mutex mu;
  double last = 0;
  bool anyOnMain = false;
  tq::HttpCallbacks cb;
  cb.downloadProgress = [&](double f) {
    std::lock_guard<std::mutex> lock(mu);
    last = f;
    anyOnMain = anyOnMain || platform::dispatch::isMainThread();
  };
  auto r = run(get("/big"), cb);
  ASSERT_FALSE(r.error);
  EXPECT_EQ(r.response.body.size(), big.size());
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_DOUBLE_EQ(last, 1.0);
  EXPECT_FALSE(anyOnMain);
}

TEST_F(CurlTransportTest, CancelWhileHeldGivesOneCancelledOutcome) {
  server.setHold(true);
  auto out = std::make_shared<Outcome>();
  tq::HttpCallbacks cb;
  cb.completion = [out](const HttpResponse&, const TQError& e) {
    ++out->calls;
    out->error = e;
  };
  auto task = transport->start(get("/hello"), cb);
  ASSERT_TRUE(server.waitForHeld(1));
  task->cancel();
  task->cancel();
  main.queue().runUntil([&] { return out->calls > 0; });
  server.setHold(false);
  // Give a late answer every chance to arrive as a second outcome.
  auto probe = run(get("/hello"));
  EXPECT_FALSE(probe.error);
  main.pump();
  EXPECT_EQ(out->calls, 1);
  EXPECT_EQ(out->error.domain, TQAPITransportErrorDomain);
  EXPECT_EQ(out->error.code, TQAPITransportErrorCancelled);
}

TEST_F(CurlTransportTest, SocketHookRunsOncePerConnectionAndCanRefuse) {
  std::atomic<int> hooks{0};
  std::atomic<bool> streamSocket{false};
  transport->setSocketHook([&](int fd) {
    ++hooks;
    int type = 0;
    socklen_t len = sizeof type;
    streamSocket = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
    return true;
  });
  EXPECT_FALSE(run(get("/hello")).error);
  EXPECT_FALSE(run(get("/hello")).error);
  EXPECT_EQ(hooks.load(), 1) << "the second request reuses the connection";
  EXPECT_TRUE(streamSocket.load());

  auto refusing = std::make_shared<CurlTransport>();
  refusing->setSocketHook([](int) { return false; });
  transport = refusing;
  size_t before = server.requestCount();
  auto r = run(get("/hello"));
  EXPECT_EQ(r.error.domain, TQAPITransportErrorDomain);
  EXPECT_EQ(r.error.code, TQAPITransportErrorCannotConnect);
  EXPECT_EQ(server.requestCount(), before);
}

TEST_F(CurlTransportTest, BodyCapFailsLargerAnswers) {
  server.handle("/big", [](const standin::Request&) {
    return standin::Reply::text(std::string(5000, 'y'), "application/octet-stream");
  });
  transport->setBodyCap(1000);
  auto r = run(get("/big"));
  EXPECT_EQ(r.error.code, TQAPITransportErrorTooLarge);
  transport->setBodyCap(5000);
  EXPECT_FALSE(run(get("/big")).error) << "exactly the cap is allowed";
}

TEST_F(CurlTransportTest, ClosedPortCannotConnect) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);  // bound once, so nothing listens there now
  HttpRequest req;
  req.url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
  auto r = run(req);
  EXPECT_EQ(r.error.code, TQAPITransportErrorCannotConnect);
  EXPECT_FALSE(r.error.description.empty());
}

TEST_F(CurlTransportTest, IdleAnswerTimesOut) {
  server.setHold(true);
  HttpRequest req = get("/hello");
  req.timeoutInterval = 1.0;
  auto r = run(req);
  EXPECT_EQ(r.error.code, TQAPITransportErrorTimedOut) << r.error.description;
  server.release();
}

// A server that answers headers, then one body byte every 300 ms: fast enough for the idle
// check, so only the whole-call deadline ends it.
TEST_F(CurlTransportTest, DrippingAnswerEndsAtTheDeadline) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::atomic<bool> done{false};
  std::thread drip([&] {
    int c = accept(listener, nullptr, nullptr);
    if (c < 0) return;
    char buf[4096];
    (void)!recv(c, buf, sizeof buf, 0);
    const char head[] = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    (void)!send(c, head, sizeof head - 1, MSG_NOSIGNAL);
    while (!done.load() && send(c, "x", 1, MSG_NOSIGNAL) == 1) std::this_thread::sleep_for(300ms);
    close(c);
  });
  HttpRequest req;
  req.url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
  req.timeoutInterval = 1.0;  // deadline: 3 s
  auto r = run(req);
  done = true;
  shutdown(listener, SHUT_RDWR);
  close(listener);
  drip.join();
  EXPECT_EQ(r.error.code, TQAPITransportErrorTimedOut) << r.error.description;
}

TEST_F(CurlTransportTest, BodyIsNeverResentToAnotherOrigin) {
  standin::HttpStandin other;
  ASSERT_TRUE(other.start());
  other.handle("/sink", [](const standin::Request&) { return standin::Reply::json("{}"); });
  for (int status : {307, 308}) {
    server.handle("/redirect", [&, status](const standin::Request&) {
      standin::Reply r = standin::Reply::text("", "text/plain", status);
      r.headers.emplace_back("Location", other.baseUrl() + "/sink");
      return r;
    });
    HttpRequest post = get("/redirect");
    post.method = "POST";
    post.body = "secret=1";
    auto r = run(post);
    EXPECT_TRUE(r.error) << status;
    EXPECT_NE(r.error.description.find("redirect refused"), std::string::npos)
        << r.error.description;
  }
  EXPECT_TRUE(other.requests().empty());
  // The same redirect within the origin is followed with its body.
  server.handle("/redirect", [](const standin::Request&) {
    standin::Reply r = standin::Reply::text("", "text/plain", 307);
    r.headers.emplace_back("Location", "/hello");
    return r;
  });
  HttpRequest post = get("/redirect");
  post.method = "POST";
  post.body = "a=1";
  auto r = run(post);
  ASSERT_FALSE(r.error) << r.error.description;
  EXPECT_EQ(r.response.body, R"({"method":"POST"})");
  // A GET may go elsewhere.
  server.handle("/redirect", [&](const standin::Request&) {
    standin::Reply r = standin::Reply::text("", "text/plain", 302);
    r.headers.emplace_back("Location", other.baseUrl() + "/sink");
    return r;
  });
  EXPECT_FALSE(run(get("/redirect")).error);
  EXPECT_EQ(other.requests().size(), 1u);
}

TEST_F(CurlTransportTest, DestroyingTheTransportEndsRunningTasksOnce) {
  server.setHold(true);
  auto out = std::make_shared<Outcome>();
  tq::HttpCallbacks cb;
  cb.completion = [out](const HttpResponse&, const TQError& e) {
    ++out->calls;
    out->error = e;
  };
  transport->start(get("/hello"), cb);
  ASSERT_TRUE(server.waitForHeld(1));
  transport.reset();
  main.queue().runUntil([&] { return out->calls > 0; });
  server.release();
  EXPECT_EQ(out->calls, 1);
  EXPECT_EQ(out->error.code, TQAPITransportErrorCancelled);
}

}  // namespace
