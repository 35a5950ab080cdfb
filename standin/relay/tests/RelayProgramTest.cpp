// The standin-relay program as other suites start it: option errors, and one run with a
// switch, a verbatim 301 body and a record file on an exact loopback address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
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
