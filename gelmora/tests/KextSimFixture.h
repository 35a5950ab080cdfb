#pragma once
// The filter core on the simulated kernel behind the real control socket: tamseld-sim in a
// private run folder, driven through its admin socket.
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
#include <functional>
#include <string>
#include <thread>

#include "gelmora/Service/Tools/Utils.h"
#include "platform/kctl/Client.h"
#include "platform/kctl/wire.h"
#include "tamsel/kctl_abi.h"

class KextSimFixture : public ::testing::Test {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/accel-run-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    run_ = tmpl;
    ::setenv("TAMSEL_RUN_DIR", run_.c_str(), 1);
  }
  void TearDown() override {
    StopDaemon();
    std::filesystem::remove_all(run_);
    ::unsetenv("TAMSEL_RUN_DIR");
  }
  void StartDaemon() {
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::execl(TAMSELD_SIM_PATH, "tamseld-sim", "--foreground", nullptr);
      ::_exit(127);
    }
    // The daemon's own start-up, not a timer of ours.
    for (int i = 0; i < 1000; ++i) {
      std::string p;
      if (platform::kctl::resolve(tamsel::abi::kControlName, &p) == 0 &&
          std::filesystem::exists(
              platform::kctl::wire::admin_path(run_, tamsel::abi::kControlName)))
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "tamseld-sim did not come up";
  }
  // The filter's control socket, waited for as the controller's connect step does: the loader
  // returns once the admin socket is there, the control may follow a moment later.
  std::string WaitControl() {
    std::string p;
    for (int i = 0; i < 1000; ++i) {
      if (platform::kctl::resolve(tamsel::abi::kControlName, &p) == 0) return p;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the filter's control did not appear";
    return p;
  }
  void StopDaemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  std::string Admin(const std::string& cmd) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string p = platform::kctl::wire::admin_path(run_, tamsel::abi::kControlName);
    std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return "connect failed";
    }
    ::send(fd, cmd.data(), cmd.size(), MSG_NOSIGNAL);
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    ::close(fd);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  // Polls the daemon (another process) until `done` holds for its stats; false after ~5 s.
  bool WaitStats(const std::function<bool(const std::string&)>& done) {
    for (int i = 0; i < 500; ++i) {
      if (done(Admin("stats"))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  static std::string Hex(const void* data, size_t len) {
    static const char* d = "0123456789abcdef";
    std::string out;
    auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < len; ++i) {
      out += d[p[i] >> 4];
      out += d[p[i] & 15];
    }
    return out;
  }

  // A stand-in for the loader in the run folder, given to Utils: it appends `recorded` (shell
  // text such as "$1" or "$*") to <run>/loader-calls; when `startsFilter`, "load" starts
  // tamseld-sim unless <run>/no-load exists, and "unload" stops it (slowly when <run>/slow-unload
  // exists).
  void WriteFakeLoader(const std::string& recorded, bool startsFilter) {
    std::string path = run_ + "/zandrel";
    std::ofstream f(path);
    f << "#!/bin/sh\necho \"" << recorded << "\" >> '" << run_ << "/loader-calls'\n";
    if (startsFilter) {
      f << "if [ \"$1\" = load ] && [ ! -f '" << run_ << "/no-load' ]; then\n"
        << "  '" << TAMSELD_SIM_PATH << "' --foreground >/dev/null 2>&1 &\n"
        << "  echo $! > '" << run_ << "/sim.pid'\n"
        << "  for i in $(seq 1 500); do [ -S '" << run_ << "/cn.pelmoor.tamsel.admin' ] && exit 0;"
        << " sleep 0.01; done\n"
        << "fi\n"
        << "if [ \"$1\" = unload ] && [ -f '" << run_ << "/slow-unload' ]; then sleep 0.3; fi\n"
        << "if [ \"$1\" = unload ] && [ -f '" << run_ << "/sim.pid' ]; then\n"
        << "  p=$(cat '" << run_ << "/sim.pid'); rm -f '" << run_ << "/sim.pid'\n"
        << "  for i in $(seq 1 500); do kill $p 2>/dev/null; [ -S '" << run_
        << "/cn.pelmoor.tamsel.admin' ] || exit 0;"
        << " sleep 0.01; done\n"
        << "fi\n";
    }
    f.close();
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    Utils::setZandrelPath(path);
  }
  // What the fake loader recorded, one "call;" each.
  std::string LoaderCalls() const {
    std::ifstream in(run_ + "/loader-calls");
    std::string all, l;
    while (std::getline(in, l)) all += l + ";";
    return all;
  }

  std::string run_;
  pid_t pid_ = -1;
};
