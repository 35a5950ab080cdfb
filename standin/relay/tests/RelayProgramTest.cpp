// The standin-relay program as other suites start it: option errors, and one run with a
// switch, a verbatim 301 body and a record file on an exact loopback address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "systest/Systest.h"

using namespace std::chrono_literals;

namespace {
std::optional<int> runToEnd(std::vector<std::string> args) {
  args.insert(args.begin(), STANDIN_RELAY_PATH);
  auto p = systest::Process::spawn(args);
  return p.wait(10s);
}

// A UDP port free on 127.0.0.2 a moment ago.
uint16_t freePort() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}
}  // namespace

TEST(RelayProgramTest, BadOptionsAndFailedSetUpEndIt) {
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{}, 2},
      {{"--listen", "127.0.0.1"}, 2},
      {{"--listen", "127.0.0.1:70000"}, 2},
      {{"--listen", "127.0.0.1:0", "--switch", "127.0.0.1:1=bogus"}, 2},
      {{"--listen", "127.0.0.1:0", "--switch", "127.0.0.1:1=slow-x"}, 2},
      {{"--listen", "127.0.0.1:0", "--fragment-mtu", "10"}, 2},
      {{"--listen", "127.0.0.1:0", "--detect", "127.0.0.1,*,1,2"}, 2},
      {{"--listen", "127.0.0.1:0", "--detect-body", "127.0.0.1,text"}, 2},
      {{"--listen", "127.0.0.1:0", "--tun", "rly9"}, 2},
      {{"--listen", "127.0.0.1:0", "--record"}, 2},
      {{"--listen", "192.0.2.1:9"}, 1},  // not an address of this host
      {{"--listen", "127.0.0.1:0", "--tun", "rly9", "--tun-net", "192.0.2.0/24"}, 1},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_EQ(runToEnd(c.args), std::optional<int>(c.status)) << line;
  }
}

TEST(RelayProgramTest, ServesWithSwitchesBodiesAndRecords) {
  systest::TempDir dir("relay-program");
  const std::string records = (dir.path() / "records.jsonl").string();
  const uint16_t port = freePort();
  const std::string pair = "127.0.0.2:" + std::to_string(port);
  const std::string body = R"({"delay":"400","reply_count":1e300,"total_count":-1})";
  auto relay =
      systest::Process::spawn({STANDIN_RELAY_PATH, "--listen", pair, "--switch", pair + "=twice",
                               "--detect-body", pair + ",*," + body, "--record", records});
  ASSERT_TRUE(systest::waitFor(
      [&] { return relay.log().find("serving " + pair) != std::string::npos || !relay.running(); },
      10s));
  ASSERT_TRUE(relay.running()) << relay.log();

  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.2", &to.sin_addr);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
  auto frame = Q5Protocol::detectPacketWithExit("3-7", 42, 1, "TkFU", "127.0.0.1", "B");
  ASSERT_EQ(send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
  for (int i = 0; i < 2; ++i) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "answer " << i;
    std::vector<uint8_t> buf(2048);
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    ASSERT_GT(n, 8);
    EXPECT_EQ(Q5Protocol::loadU32(buf.data()), static_cast<uint32_t>(n));
    EXPECT_EQ(Q5Protocol::loadU32(buf.data() + 4), 301u);
    EXPECT_EQ(std::string(buf.begin() + 8, buf.begin() + n), body);
  }
  close(fd);

  relay.signal(SIGTERM);
  EXPECT_EQ(relay.wait(5s), std::optional<int>(0));
  std::ifstream in(records);
  std::vector<std::string> notes;
  for (std::string l; std::getline(in, l);) notes.push_back(nlohmann::json::parse(l)["note"]);
  EXPECT_EQ(notes, (std::vector<std::string>{"detect", "detect answer", "detect answer"}));
}

namespace {
// One line to the control socket at `path` and the line that answers it ("" when none came).
std::string control(const std::string& path, const std::string& line) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
    char c;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 5000) == 1 && recv(fd, &c, 1, 0) == 1 && c != '\n') answer += c;
  }
  close(fd);
  return answer;
}

// What another local user gets from the control socket: "refused" when it cannot connect, else
// the answer to a switch line.
std::string asOtherUser(const std::string& path, const std::string& line) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    if (setgid(4242) != 0 || setuid(4242) != 0) _exit(1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    std::string out = "refused";
    // A full backlog is no refusal: the relay serves one client at a time.
    int rc = -1;
    for (int i = 0; i < 50 && (rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a)) != 0 &&
                    errno == EAGAIN;
         ++i)
      usleep(20000);
    if (rc != 0 && errno != EACCES) out += std::string(": ") + std::strerror(errno);
    if (rc == 0) {
      out.clear();
      (void)send(fd, line.data(), line.size(), MSG_NOSIGNAL);
      char c;
      while (recv(fd, &c, 1, 0) == 1 && c != '\n') out += c;
    }
    (void)write(pipeFds[1], out.data(), out.size());
    _exit(0);
  }
  close(pipeFds[1]);
  std::string out;
  char buf[256];
  for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

// A probe through a fresh socket: whether 101 came back within `wait`.
bool probeAnswered(uint16_t port, std::chrono::milliseconds wait) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.2", &to.sin_addr);
  connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  auto frame = Q5Protocol::wrapWithType(100, {});
  send(fd, frame.data(), frame.size(), 0);
  pollfd p{fd, POLLIN, 0};
  bool got = poll(&p, 1, static_cast<int>(wait.count())) == 1;
  close(fd);
  return got;
}
}  // namespace

TEST(RelayProgramTest, ControlSocketChangesSwitchesWhileItServes) {
  // As root, below a folder every user may cross (the temporary folder may be private), so that
  // only the socket's own mode keeps another user out.
  systest::TempDir dir("relay-control", geteuid() == 0 ? std::filesystem::path("/run")
                                                       : std::filesystem::temp_directory_path());
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  }
  const std::string records = (dir.path() / "records.jsonl").string();
  const std::string path = (dir.path() / "control").string();
  const uint16_t port = freePort();
  const std::string pair = "127.0.0.2:" + std::to_string(port);
  auto relay = systest::Process::spawn(
      {STANDIN_RELAY_PATH, "--listen", pair, "--record", records, "--control", path});
  ASSERT_TRUE(systest::waitFor(
      [&] { return relay.log().find("control " + path) != std::string::npos || !relay.running(); },
      10s));
  ASSERT_TRUE(relay.running()) << relay.log();
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  ASSERT_TRUE(probeAnswered(port, 5s));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(control(path, "switch " + pair + "=silent\n"), "ok");
  EXPECT_FALSE(probeAnswered(port, 300ms));
  // Refusals say why and change nothing.
  const struct {
    std::string line, answer;
  } refused[] = {
      {"reboot\n", "error: unknown command"},
      {"switch " + pair + "=loud\n", "error: unknown switch \"loud\""},
      {"switch 127.0.0.2=silent\n", "error: want switch IP:PORT=NAME[,NAME...]"},
      {"switch 127.0.0.9:1=normal\n", "error: 127.0.0.9:1 is not served"},
      {"switch " + pair + "=" + std::string(300, 'x') + "\n", "error: line too long"},
      {std::string(600, 'y'), "error: line too long"},
  };
  for (const auto& c : refused) EXPECT_EQ(control(path, c.line), c.answer) << c.line.substr(0, 40);
  EXPECT_FALSE(probeAnswered(port, 300ms));
  EXPECT_EQ(control(path, "switch " + pair + "=normal\n"), "ok");
  EXPECT_TRUE(probeAnswered(port, 5s));

  // Another local user reaches neither the socket nor, were its mode opened, the switches.
  if (geteuid() == 0) {
    EXPECT_EQ(asOtherUser(path, "switch " + pair + "=silent\n"), "refused");
    // Opened to everyone: the relay itself still refuses the stranger.
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    EXPECT_EQ(asOtherUser(path, "switch " + pair + "=silent\n"), "error: not allowed");
    EXPECT_TRUE(probeAnswered(port, 5s));
  }

  relay.signal(SIGTERM);
  EXPECT_EQ(relay.wait(5s), std::optional<int>(0));
  EXPECT_FALSE(std::filesystem::exists(path));
  std::ifstream in(records);
  std::vector<std::string> switches;
  for (std::string l; std::getline(in, l);) {
    auto j = nlohmann::json::parse(l);
    if (j["note"].get<std::string>().rfind("switch", 0) != 0) continue;
    switches.push_back(j["note"].get<std::string>() + " at " + j["local"].get<std::string>());
    const auto at = std::chrono::milliseconds(j["time_ms"].get<int64_t>());
    EXPECT_GE(
        at, std::chrono::duration_cast<std::chrono::milliseconds>(before.time_since_epoch() - 1ms));
  }
  EXPECT_EQ(switches,
            (std::vector<std::string>{"switch silent at " + pair, "switch normal at " + pair}));
}

TEST(RelayProgramTest, ControlPathThatExistsIsRefused) {
  systest::TempDir dir("relay-control");
  const std::string path = (dir.path() / "taken").string();
  std::ofstream(path) << "someone else's";
  EXPECT_EQ(runToEnd({"--listen", "127.0.0.1:0", "--control", path}), std::optional<int>(1));
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text, "someone else's");
}
