#include "Injector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "Backend.h"
#include "platform/kern/kern.h"

namespace platform::kern::linux_backend {

namespace {

constexpr char kDeviceAddress[] = "169.254.255.1";
constexpr char kAllRpFilter[] = "/proc/sys/net/ipv4/conf/all/rp_filter";

std::string read_text(const char* path) {
  std::string s;
  if (FILE* f = std::fopen(path, "r")) {
    char buf[32];
    if (std::fgets(buf, sizeof buf, f)) s = buf;
    std::fclose(f);
  }
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool write_text(const std::string& path, const std::string& value) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok = std::fputs(value.c_str(), f) >= 0;
  return std::fclose(f) == 0 && ok;
}

void log_line(const std::string& text) { kern_log_line(("tamseld " + text + "\n").c_str()); }

// Where the value of "all" that we changed is noted while the filter runs, so that a start after
// a crash still restores it. Empty: not noted.
std::mutex g_note_m;
std::string g_note_path;

std::string note_path() {
  std::lock_guard g(g_note_m);
  return g_note_path;
}

int configure_device() {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, kInjectDevice, IFNAMSIZ - 1);
  auto* sin = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
  sin->sin_family = AF_INET;
  ::inet_pton(AF_INET, kDeviceAddress, &sin->sin_addr);
  int e = 0;
  if (::ioctl(s, SIOCSIFADDR, &ifr) != 0) e = errno;
  if (!e) {
    sin->sin_addr.s_addr = htonl(0xffffffff);
    if (::ioctl(s, SIOCSIFNETMASK, &ifr) != 0) e = errno;
  }
  if (!e && ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0) e = errno;
  if (!e) {
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) e = errno;
  }
  ::close(s);
  return e;
}

}  // namespace

Injector::~Injector() { close(); }

int Injector::open() {
  if (fd_ >= 0) return 0;
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, kInjectDevice, IFNAMSIZ - 1);
  if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
    int e = errno;
    ::close(fd);
    return e;
  }
  int e = configure_device();
  if (e != 0) {
    ::close(fd);
    return e;
  }
  fd_ = fd;
  // Answers arrive with the resolver's source on a device without a route back to it: only the
  // loose reverse-path check lets them in, and the kernel applies the stricter of "all" and the
  // device's own setting.
  write_text(std::string("/proc/sys/net/ipv4/conf/") + kInjectDevice + "/rp_filter", "2");
  note_ = note_path();
  const std::string noted = note_.empty() ? "" : read_text(note_.c_str());
  if (noted == "1") {
    // A filter killed while it ran left "all" loosened: the value it noted is the one to restore.
    saved_all_rp_filter_ = noted;
    log_line("net.ipv4.conf.all.rp_filter left at 2 by an earlier run; restored to 1 at stop");
  } else if (read_text(kAllRpFilter) == "1") {
    // Noted first: a crash right after the change must not lose the value.
    if ((note_.empty() || write_text(note_, "1")) && write_text(kAllRpFilter, "2")) {
      saved_all_rp_filter_ = "1";
      log_line("net.ipv4.conf.all.rp_filter changed from 1 to 2 while the filter runs");
    }
  }
  if (saved_all_rp_filter_.empty() && !note_.empty()) ::unlink(note_.c_str());
  return 0;
}

void Injector::close() {
  if (fd_ < 0) return;
  ::close(fd_);  // the device goes with its last descriptor
  fd_ = -1;
  if (!saved_all_rp_filter_.empty()) {
    if (write_text(kAllRpFilter, saved_all_rp_filter_))
      log_line("net.ipv4.conf.all.rp_filter restored to " + saved_all_rp_filter_);
    saved_all_rp_filter_.clear();
  }
  if (!note_.empty()) ::unlink(note_.c_str());
}

void set_run_dir(const std::string& dir) {
  std::lock_guard g(g_note_m);
  g_note_path = dir.empty() ? "" : dir + "/rp_filter.saved";
}

bool restore_noted_settings() {
  const std::string note = note_path();
  if (note.empty()) return true;
  const std::string noted = read_text(note.c_str());
  if (noted.empty()) return true;
  // Only "1" is ever noted: anything else is no value of ours to restore.
  if (noted == "1") {
    if (!write_text(kAllRpFilter, noted)) return false;
    log_line("net.ipv4.conf.all.rp_filter restored to " + noted);
  }
  ::unlink(note.c_str());
  return true;
}

int Injector::inject(const uint8_t* packet, size_t len) {
  if (fd_ < 0) return ENODEV;
  ssize_t n = ::write(fd_, packet, len);
  return n < 0 ? errno : 0;  // the caller logs it
}

}  // namespace platform::kern::linux_backend
