#pragma once
// A small root process forked at launch, before any thread exists, that puts the machine back
// when the daemon dies without a clean stop (SIGKILL, a crash): it holds the read end of a pipe
// and, when the pipe closes without the clean-stop byte, removes the tunnel's policy rules and
// tables (with the mark rules that let answers through a strict reverse-path check), puts
// net.ipv4.conf.all.src_valid_mark back to the value the run saved in root's /run folder, and
// restores the resolver file. What it restores is fixed when it is forked; it reads nothing else
// from anyone.

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/netext/DnsConfigurator.h"

class Guardian {
 public:
  struct Settings {
    uint32_t mark = 0;
    uint32_t table = 0;
    platform::netext::DnsConfigurator::Mode dnsMode = platform::netext::DnsConfigurator::Mode::None;
  };

  // Undoes what a run with these settings may have left: rules, tables, src_valid_mark, the
  // resolver file.
  static void putBack(const Settings& settings);

  Guardian() = default;
  Guardian(const Guardian&) = delete;
  Guardian& operator=(const Guardian&) = delete;
  // A guardian still running is told the stop was clean.
  ~Guardian();

  // Forks the guardian; false (with errno) when it could not.
  bool start(const Settings& settings);
  // The daemon has put everything back itself: the guardian exits without acting.
  void cleanStop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;
};
