#include "platform/netext/DnsConfigurator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

namespace platform::netext {
namespace {

// First line of the file written while the tunnel runs; how a leftover of ours is recognised.
constexpr const char* kOwnHeader = "# written by galvent-tunnel while the tunnel runs\n";

// Runs a program with fixed arguments, no shell. Its exit status, or -1.
int run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::optional<DnsConfigurator::Mode> DnsConfigurator::modeFromText(const std::string& text) {
  if (text == "resolved") return Mode::Resolved;
  if (text == "resolv.conf") return Mode::ResolvConf;
  if (text == "none") return Mode::None;
  return std::nullopt;
}

DnsConfigurator::Mode DnsConfigurator::detectMode(const std::filesystem::path& root) {
  std::error_code ec;
  return std::filesystem::exists(root / "run/systemd/resolve/io.systemd.Resolve", ec)
             ? Mode::Resolved
             : Mode::ResolvConf;
}

DnsConfigurator::DnsConfigurator(Mode mode, std::string interfaceName, std::filesystem::path root)
    : mode_(mode), interface_(std::move(interfaceName)), root_(std::move(root)) {}

namespace {

// What the entry at path is: nothing when it is a link or cannot be read.
std::optional<std::string> regularFileText(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

void DnsConfigurator::restoreStale() {
  if (mode_ != Mode::ResolvConf) return;
  std::error_code ec;
  const bool missing = !std::filesystem::is_symlink(resolvConfPath(), ec) &&
                       !std::filesystem::exists(resolvConfPath(), ec);
  auto text = regularFileText(resolvConfPath());
  const bool ours = text && text->rfind(kOwnHeader, 0) == 0;
  // is_symlink first: a backup that is a dangling link is still the original entry.
  if (std::filesystem::is_symlink(backupPath(), ec) || std::filesystem::exists(backupPath(), ec)) {
    if (missing || ours) {
      std::filesystem::rename(backupPath(), resolvConfPath(), ec);
    } else {
      // Someone (a DHCP renewal, the administrator) wrote a newer file since: it stands, and the
      // older original must not come back over it later.
      std::filesystem::remove(backupPath(), ec);
    }
    return;
  }
  // No original was there: our own file goes, rather than staying as the system's resolver.
  if (ours) std::filesystem::remove(resolvConfPath(), ec);
}

std::optional<ControlError> DnsConfigurator::apply(const std::vector<std::string>& servers,
                                                   const std::vector<std::string>& matchDomains) {
  // Servers come from the start options: each must be a plain IPv4 address before anything is
  // written to the resolver file or handed to resolvectl (a newline would add lines of its own).
  if (servers.empty()) return ControlError{"NEVPNErrorDomain", 1, "no DNS server given"};
  for (const auto& s : servers) {
    in_addr a;
    if (s.size() > 15 || ::inet_pton(AF_INET, s.c_str(), &a) != 1)
      return ControlError{"NEVPNErrorDomain", 1, "DNS server is not an IPv4 address"};
  }
  switch (mode_) {
    case Mode::None:
      return std::nullopt;
    case Mode::Resolved: {
      std::vector<std::string> dns{"resolvectl", "dns", interface_};
      dns.insert(dns.end(), servers.begin(), servers.end());
      std::vector<std::string> domain{"resolvectl", "domain", interface_};
      for (const auto& d : matchDomains) domain.push_back(d.empty() ? "~." : "~" + d);
      if (run(dns) != 0 || run(domain) != 0)
        return ControlError{"NEVPNErrorDomain", 5, "resolvectl refused the DNS settings"};
      applied_ = true;
      return std::nullopt;
    }
    case Mode::ResolvConf: {
      std::error_code ec;
      // Keep the first backup: a second apply must not save our own file over the original.
      // The original is kept by a second name for the same entry (a hard link to the entry
      // itself, not to what a symbolic link points at), so a resolv.conf that is a link into
      // the resolver's run folder comes back as that link, not as a frozen copy.
      if (!std::filesystem::is_symlink(backupPath(), ec) &&
          !std::filesystem::exists(backupPath(), ec)) {
        if (::linkat(AT_FDCWD, resolvConfPath().c_str(), AT_FDCWD, backupPath().c_str(), 0) != 0 &&
            errno != ENOENT)
          return ControlError{"NEVPNErrorDomain", 5,
                              std::string("cannot back up resolv.conf: ") + std::strerror(errno)};
      }
      auto temp = resolvConfPath();
      temp += ".galvent-new";
      {
        std::ofstream out(temp, std::ios::trunc);
        written_ = kOwnHeader;
        for (const auto& s : servers) written_ += "nameserver " + s + "\n";
        out << written_;
        if (!out) return ControlError{"NEVPNErrorDomain", 5, "cannot write resolv.conf"};
      }
      ::chmod(temp.c_str(), 0644);
      // A symbolic link (often into /run) is replaced, not written through.
      std::filesystem::rename(temp, resolvConfPath(), ec);
      if (ec)
        return ControlError{"NEVPNErrorDomain", 5, "cannot replace resolv.conf: " + ec.message()};
      applied_ = true;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void DnsConfigurator::restore() {
  if (!applied_) return;
  applied_ = false;
  if (mode_ == Mode::Resolved) {
    run({"resolvectl", "revert", interface_});
  } else if (mode_ == Mode::ResolvConf) {
    // Only the file this run wrote is put back; a file rewritten during the run is newer than
    // the backup and is left as it is.
    std::error_code ec;
    if (regularFileText(resolvConfPath()) == written_) {
      restoreStale();
    } else {
      std::filesystem::remove(backupPath(), ec);
    }
  }
}

}  // namespace platform::netext
