#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <nlohmann/json.hpp>

#include "standin/HttpStandin.h"

namespace {

using namespace std::chrono_literals;

class HttpStandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    server.handle("/hello", [](const standin::Request& r) {
      return standin::Reply::json(R"({"code":0,"data":{"len":)" + std::to_string(r.body.size()) +
                                  "}}");
    });
  }
  httplib::Client client() {
    httplib::Client c("127.0.0.1", server.port());
    c.set_read_timeout(10, 0);
    return c;
  }
  standin::HttpStandin server;
};

TEST_F(HttpStandinTest, HandlerAnswersAndLogKeepsRawRequest) {
  auto c = client();
  std::string body("a\0b\xff", 4);
  httplib::Headers headers = {{"X-Test", "1"}};
  auto res = c.Post("/hello?x=1", headers, body, "application/octet-stream");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(nlohmann::json::parse(res->body)["data"]["len"], 4);
  auto log = server.requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].method, "POST");
  EXPECT_EQ(log[0].path, "/hello");
  EXPECT_EQ(log[0].query, "x=1");
  EXPECT_EQ(log[0].body, body);
  EXPECT_EQ(log[0].header("x-test"), "1");
  EXPECT_EQ(log[0].header("content-type"), "application/octet-stream");

  auto missing = c.Get("/nowhere");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(server.requestCount(), 2u);
  server.clearLog();
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(HttpStandinTest, BadAnswerSwitches) {
  auto c = client();
  server.setGarbage(true);
  auto g = c.Post("/hello", "{}", "application/json");
  ASSERT_TRUE(g);
  EXPECT_EQ(g->status, 200);
  EXPECT_FALSE(nlohmann::json::accept(g->body));
  server.setGarbage(false);

  server.setWrongType(true);
  auto w = c.Post("/hello", "{}", "application/json");
  ASSERT_TRUE(w);
  EXPECT_TRUE(nlohmann::json::parse(w->body).is_array());
  server.setWrongType(false);

  server.setStatus(503);
  auto s = c.Post("/hello", "{}", "application/json");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->status, 503);
  server.setStatus(std::nullopt);

  auto ok = c.Post("/hello", "{}", "application/json");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_TRUE(nlohmann::json::parse(ok->body).is_object());
}

TEST_F(HttpStandinTest, SlowDelaysTheAnswer) {
  server.setSlow(300ms);
  auto c = client();
  auto t0 = std::chrono::steady_clock::now();
  auto res = c.Get("/hello");
  ASSERT_TRUE(res);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
}

TEST_F(HttpStandinTest, HoldKeepsAnswersUntilReleased) {
  server.setHold(true);
  auto pending = std::async(std::launch::async, [this] {
    auto c = client();
    auto res = c.Get("/hello");
    return res ? res->status : -1;
  });
  ASSERT_TRUE(server.waitForHeld(1));
  EXPECT_EQ(pending.wait_for(0ms), std::future_status::timeout);
  server.release();
  EXPECT_EQ(pending.get(), 200);
  EXPECT_EQ(server.heldCount(), 0u);
}

TEST_F(HttpStandinTest, StopEndsHeldRequestsAndReturns) {
  server.setHold(true);
  auto pending = std::async(std::launch::async, [this] {
    auto c = client();
    return static_cast<bool>(c.Get("/hello"));
  });
  ASSERT_TRUE(server.waitForHeld(1));
  server.stop();
  pending.get();  // answered or dropped, but not hanging
  server.stop();  // twice is fine
}

// Runs the echo program and reads its first line.
struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
};

Child spawn(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  return Child{pid, fdopen(fds[0], "r")};
}

int waitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(StandinProgram, ListensAnswersAndExitsOnSignal) {
  const char* exe = std::getenv("STANDIN_ECHO");
  if (!exe) GTEST_SKIP() << "STANDIN_ECHO is not set (run through ctest)";
  for (int sig : {SIGTERM, SIGINT}) {
    Child child = spawn({exe, "--port", "0"});
    ASSERT_GT(child.pid, 0);
    char line[128] = {};
    ASSERT_TRUE(fgets(line, sizeof line, child.out));
    int port = 0;
    ASSERT_EQ(sscanf(line, "listening on 127.0.0.1:%d", &port), 1) << line;
    httplib::Client c("127.0.0.1", port);
    auto res = c.Post("/echo", "hi", "text/plain");
    ASSERT_TRUE(res);
    auto j = nlohmann::json::parse(res->body);
    EXPECT_EQ(j["data"]["body"], "hi");
    kill(child.pid, sig);
    EXPECT_EQ(waitExit(child.pid), 0);
    fclose(child.out);
  }
  // Bad arguments end the program with status 2 before it listens.
  const std::vector<std::vector<std::string>> badArgs = {
      {exe, "--port", "x"}, {exe, "--port", "70000"}, {exe, "--port", "-1"},
      {exe, "--port", ""},  {exe, "--port"},          {exe, "--bogus"}};
  for (const auto& args : badArgs) {
    Child bad = spawn(args);
    EXPECT_EQ(waitExit(bad.pid), 2) << args.back();
    fclose(bad.out);
  }
}

}  // namespace
