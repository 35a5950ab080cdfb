// The client's start-up push over the real transport into tamseld-sim: flow id, DNS rule,
// 1,000 white and 19,999 black rules, client address, resolver, switches, master switch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/kctl/Client.h"
#include "platform/kctl/wire.h"
#include "tamsel/kctl_abi.h"

namespace {

namespace fs = std::filesystem;
namespace wire = platform::kctl::wire;
using namespace tamsel::abi;

std::string admin(const std::string& run, const std::string& cmd) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string p = wire::admin_path(run, kControlName);
  std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
  std::string out;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    ::send(fd, cmd.data(), cmd.size(), MSG_NOSIGNAL);
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) out.assign(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

size_t count_lines(const std::string& file, const std::string& needle) {
  std::ifstream in(file);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) n += line.find(needle) != std::string::npos;
  return n;
}

TEST(PushTest, StartUpOrderCountsAndLogLines) {
  char tmpl[] = "/tmp/tamsel-push-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string run = tmpl;
  std::string log = run + ".log";
  ::setenv("TAMSEL_RUN_DIR", run.c_str(), 1);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::execl(TAMSELD_SIM_PATH, "tamseld-sim", "--foreground", nullptr);
    ::_exit(127);
  }
  std::string path;
  for (int i = 0; i < 500 && platform::kctl::resolve(kControlName, &path) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  platform::kctl::Client c;
  ASSERT_EQ(c.connect(path), 0);

  int32_t vni = 77;
  EXPECT_EQ(c.setOption(kOptionLevel, KCTL_SET_VNI_BASE, &vni, 4), 0);
  dns_rule_config d{};
  std::strcpy(d.server, "192.0.2.53");
  std::strcpy(d.domains, "*.game.example.test");
  EXPECT_EQ(c.setOption(kOptionLevel, KCTL_SET_DNS_RULE_FOR_SRV, &d, sizeof d), 0);
  for (int i = 0; i < 1000; ++i) {
    white_rule_config w{};
    w.offset = i % 17;
    w.level = 1;
    std::snprintf(w.rule, sizeof w.rule, "tslgame|198.51.%d.%d|%d|udp", i / 250, i % 250, 1000 + i);
    ASSERT_EQ(c.setOption(kOptionLevel, KCTL_ADD_WHITE_RULE, &w, sizeof w), 0) << i;
  }
  for (int i = 0; i < 19999; ++i) {
    char rule[64];
    int n = std::snprintf(rule, sizeof rule, "*|10.%d.%d.0-10.%d.%d.255|*|*", i / 256, i % 256,
                          i / 256, i % 256);
    ASSERT_EQ(c.setOption(kOptionLevel, KCTL_ADD_BLACK_RULE, rule, static_cast<size_t>(n)), 0) << i;
  }
  uint32_t ip = 0xc86433c6;  // 198.51.100.200
  EXPECT_EQ(c.setOption(kOptionLevel, KCTL_SET_CLIENT_IP, &ip, 4), 0);
  uint32_t resolver = 0x350200c0;
  EXPECT_EQ(c.setOption(kOptionLevel, KCTL_SET_EDNS_SERVER, &resolver, 4), 0);
  for (int o : {KCTL_ENABLE_INTERCEPT_TCP, KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT_ICMP,
                KCTL_ENABLE_INTERCEPT_DNS, KCTL_ENABLE_INTERCEPT})
    EXPECT_EQ(c.setOption(kOptionLevel, o, nullptr, 0), 0);
  // A duplicate adds nothing and logs nothing.
  const char dup[] = "*|10.0.0.0-10.0.0.255|*|*";
  EXPECT_EQ(c.setOption(kOptionLevel, KCTL_ADD_BLACK_RULE, dup, sizeof dup - 1), 0);

  std::string stats = admin(run, "stats");
  for (const char* want :
       {"\"white_rule\":1000", "\"black_rule\":19999", "\"dns_rule\":1", "\"enabled_procname\":1",
        "\"intercept\":1", "\"tcp\":1", "\"udp\":1", "\"icmp\":1", "\"dns\":1", "\"vni\":77",
        "\"client_ip\":\"198.51.100.200\"", "\"edns_servers\":1"})
    EXPECT_NE(stats.find(want), std::string::npos) << want << " in " << stats;
  c.close();
  for (int i = 0; i < 500 && admin(run, "stop") != "0"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(count_lines(log, "cn.pelmoor.tamsel W+ ["), 1000u);
  EXPECT_EQ(count_lines(log, "cn.pelmoor.tamsel B+ ["), 19999u);
  EXPECT_EQ(count_lines(log, "cn.pelmoor.tamsel +D [*.game.example.test]  [192.0.2.53]"), 1u);
  fs::remove_all(run);
  fs::remove(log);
  ::unsetenv("TAMSEL_RUN_DIR");
}

}  // namespace
