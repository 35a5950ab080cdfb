#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "PexaraAPI/PXACrypto.h"
#include "standin/GameStandin.h"

namespace {

using nlohmann::json;
using standin::GameStandin;

TEST(GameStandinForm, ParsesBracketKeysAndLists) {
  struct Case {
    const char* form;
    json expected;
  };
  const Case cases[] = {
      {"a=1&b=x", json{{"a", "1"}, {"b", "x"}}},
      {"t%5Bp%5D=wx&t%5Bi%5D=id", json{{"t", {{"p", "wx"}, {"i", "id"}}}}},
      {"d%5B%5D=x&d%5B%5D=y", json{{"d", {"x", "y"}}}},
      {"l%5B%5D%5Ba%5D=1&l%5B%5D%5Bb%5D=2&l%5B%5D%5Ba%5D=3",
       json{{"l", json::array({json{{"a", "1"}, {"b", "2"}}, json{{"a", "3"}}})}}},
      {"k&v=", json{{"k", nullptr}, {"v", ""}}},
      {"p=a+b%2Bc", json{{"p", "a+b+c"}}},
      {"", json::object()},
  };
  for (const auto& c : cases) {
    auto parsed = GameStandin::parseForm(c.form);
    ASSERT_TRUE(parsed) << c.form;
    EXPECT_EQ(*parsed, c.expected) << c.form;
  }
  std::string deep = "a";
  for (int i = 0; i < 40; ++i) deep += "%5Bx%5D";
  for (std::string bad : {std::string("a=%ZZ"), std::string("a=%4"), std::string("a%5Bb=1"),
                          std::string("a%5Bb%5Dc=1"), deep + "=1"}) {
    EXPECT_FALSE(GameStandin::parseForm(bad)) << bad;
  }
}

class GameStandinServer : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()); }
  httplib::Result post(const std::string& path, const std::string& body) {
    httplib::Client client("127.0.0.1", server.port());
    return client.Post(path.c_str(), body, "application/x-www-form-urlencoded");
  }
  std::optional<json> answerOf(const httplib::Result& r) {
    if (!r) return std::nullopt;
    auto plain = PXACrypto::decryptedDataFromString(r->body);
    if (!plain) return std::nullopt;
    json j = json::parse(*plain, nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
  }
  GameStandin server;
};

std::string infoBody(const std::string& query) {
  // Escape only what a form body must; "+" is left raw on purpose: the stand-in keeps it.
  std::string scrambled = PXACrypto::encryptedStringOfString(query);
  return "info=" + scrambled;
}

TEST_F(GameStandinServer, UnscramblesTheInfoFieldAndAnswersScrambled) {
  auto r = post("/mapiv1/user/guest-register", infoBody("mac=m&password=p&username=u"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  auto answer = answerOf(r);
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["code"], 0);
  EXPECT_EQ((*answer)["result"]["uid"], "10001");
  auto seen = server.lastRequest("/mapiv1/user/guest-register");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->params, (json{{"mac", "m"}, {"password", "p"}, {"username", "u"}}));

  auto login = answerOf(post("/mapiv1/user/login", infoBody("password=p&username=u")));
  ASSERT_TRUE(login);
  EXPECT_EQ((*login)["result"]["uid"], 10001);
  EXPECT_EQ((*login)["result"]["token"], "tok-10001");
  auto wrong = answerOf(post("/mapiv1/user/login", infoBody("password=x&username=u")));
  ASSERT_TRUE(wrong);
  EXPECT_EQ((*wrong)["code"], 1);
}

TEST_F(GameStandinServer, RefusesUnknownPathsAndBadBodies) {
  auto unknown = post("/api/nothing-here", infoBody("a=1"));
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
  for (const char* body : {"", "info=zz", "x=1", "info=%ZZ", "info=a&mobile=mobile"}) {
    auto r = post("/api/end", body);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << body;
  }
}

TEST_F(GameStandinServer, RuleFileBytesHashToTheStartListMd5) {
  std::string md5 = server.putRuleFile("g1.rule", R"({"vni-array":[{"id":1,"flow-level":3}]})");
  server.setStartRuleFile("g1.rule");
  server.setStartGroups({{7, {{"198.51.100.1", {7000, 7001}}}, {{"1-2", "198.51.100.9"}}}});
  auto answer = answerOf(post("/api/v3/start-list", infoBody("gid=1")));
  ASSERT_TRUE(answer);
  const json& result = (*answer)["result"];
  EXPECT_EQ(result["fileUrl"], "g1.rule");
  EXPECT_EQ(result["fileMd5"], md5);
  EXPECT_EQ(result["config"]["vni-array"][0]["entrance"][0]["port"], json({7000, 7001}));

  httplib::Client client("127.0.0.1", server.port());
  auto file = client.Get("/gameRule/g1.rule");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200);
  EXPECT_EQ(GameStandin::md5Hex(file->body), md5);
  EXPECT_EQ(PXACrypto::decryptedDataFromString(file->body),
            std::optional<std::string>(R"({"vni-array":[{"id":1,"flow-level":3}]})"));
  auto missing = client.Get("/gameRule/none.rule");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST(GameStandinProgram, PrintsItsAddressAndServes) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::execl(STANDIN_GAME_PROGRAM, STANDIN_GAME_PROGRAM, "--port", "0", "--group",
            "7,198.51.100.1:7000:7001,1-2@198.51.100.9", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* in = ::fdopen(out[0], "r");
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, in), nullptr);
  const std::string text = line;
  const std::string prefix = "listening on 127.0.0.1:";
  ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
  int port = std::atoi(text.c_str() + prefix.size());
  ASSERT_GT(port, 0) << text;
  httplib::Client client("127.0.0.1", port);
  auto r =
      client.Post("/api/v3/start-list", infoBody("uid=1"), "application/x-www-form-urlencoded");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  auto plain = PXACrypto::decryptedDataFromString(r->body);
  ASSERT_TRUE(plain);
  json group = json::parse(*plain)["result"]["config"]["vni-array"][0];
  EXPECT_EQ(group, (json{{"id", 7},
                         {"entrance", {{{"ip", "198.51.100.1"}, {"port", {7000, 7001}}}}},
                         {"exit", {{{"addr", "1-2"}, {"nat", "198.51.100.9"}}}}}));
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::fclose(in);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

namespace {

// Exit status of the program run with these arguments and its output thrown away.
int exitStatusOf(std::vector<const char*> args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDOUT_FILENO);
    ::dup2(devnull, STDERR_FILENO);
    args.insert(args.begin(), STANDIN_GAME_PROGRAM);
    args.push_back(nullptr);
    ::execv(STANDIN_GAME_PROGRAM, const_cast<char* const*>(args.data()));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(GameStandinProgram, BadOptionValuesEndWithUsage) {
  const std::vector<std::vector<const char*>> cases = {
      {"--group", "7"},
      {"--group", "7,198.51.100.1:0,1-2@198.51.100.9"},
      {"--group", "x,198.51.100.1:7000,1-2@198.51.100.9"},
      {"--rule-file", "=/dev/null"},
      {"--rule-file", "a.rule=/nonexistent/a.rule"},
      {"--host", ""},
      {"--sample-answers", "--port", "x"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(exitStatusOf(args), 2) << args.back();
  }
}

}  // namespace
