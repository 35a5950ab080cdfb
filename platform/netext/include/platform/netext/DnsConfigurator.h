#pragma once
// Points the system's resolver at the tunnel's DNS server while the tunnel runs.
//   Resolved:   systemd-resolved link settings of the TUN (server, routing domain "~.").
//   ResolvConf: resolv.conf replaced; the original kept beside it and restored at stop, or by the
//               daemon's guardian or the next start when a run ended without restoring it. A
//               file someone else wrote in the meantime is newer than the original and stays.
//   None:       nothing (network-namespace tests set up their own resolver).

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/netext/ControlMessage.h"

namespace platform::netext {

class DnsConfigurator {
 public:
  enum class Mode { Resolved, ResolvConf, None };

  // Parses "resolved", "resolv.conf" or "none".
  static std::optional<Mode> modeFromText(const std::string& text);
  // Resolved when systemd-resolved runs, else ResolvConf.
  static Mode detectMode(const std::filesystem::path& root = "/");

  // root replaces "/" for the files touched (tests use a temporary folder).
  DnsConfigurator(Mode mode, std::string interfaceName, std::filesystem::path root = "/");

  // Restores a backup a previous run left behind while the file is still ours (ResolvConf only).
  void restoreStale();
  std::optional<ControlError> apply(const std::vector<std::string>& servers,
                                    const std::vector<std::string>& matchDomains);
  void restore();

  Mode mode() const { return mode_; }
  std::filesystem::path resolvConfPath() const { return root_ / "etc/resolv.conf"; }
  std::filesystem::path backupPath() const { return root_ / "etc/resolv.conf.galvent-backup"; }

 private:
  Mode mode_;
  std::string interface_;
  std::filesystem::path root_;
  bool applied_ = false;
  std::string written_;  // the resolver file as this run wrote it
};

}  // namespace platform::netext
