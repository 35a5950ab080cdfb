#include "gelmora/Application/TsLaunchAtLoginService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "gelmora/Application/ProgramEntry.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/Log.h"

namespace fs = std::filesystem;

namespace {

std::mutex& programMutex() {
  static std::mutex m;
  return m;
}
std::string& programSlot() {
  static std::string p;
  return p;
}

// General escapes of a string value: backslash, and the control characters the format names.
std::optional<std::string> escapeValue(std::string_view v) {
  std::string out;
  for (char c : v) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
        out += c;
    }
  }
  return out;
}

bool writeWhole(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

fs::path TsLaunchAtLoginService::autostartFile() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  fs::path base;
  if (config && *config == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home && *home ? home : "/") / ".config";
  }
  return base / "autostart" / "cn.gelmoras.Gelmoras2.desktop";
}

void TsLaunchAtLoginService::setProgramPath(std::string path) {
  std::lock_guard lock(programMutex());
  programSlot() = std::move(path);
}

std::string TsLaunchAtLoginService::programPath() {
  {
    std::lock_guard lock(programMutex());
    if (!programSlot().empty()) return programSlot();
  }
  return gelmora::entry::executablePath();
}

std::optional<std::string> TsLaunchAtLoginService::execValue(const std::string& program) {
  if (program.empty()) return std::nullopt;
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#`()";
  std::string arg;
  const bool quote = program.find_first_of(kReserved) != std::string::npos;
  if (quote) arg += '"';
  for (char c : program) {
    if (c == '%') {
      arg += "%%";  // a field code otherwise
      continue;
    }
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) arg += '\\';
    arg += c;
  }
  if (quote) arg += '"';
  return escapeValue(arg);
}

std::optional<std::string> TsLaunchAtLoginService::desktopEntry(const std::string& program) {
  std::optional<std::string> exec = execValue(program);
  if (!exec) return std::nullopt;
  std::string name = "OxlaVPN";
  if (auto env = AppEnvironment::currentEnvironment())
    if (auto n = env->AppName(); !n.empty()) name = n;
  std::optional<std::string> escapedName = escapeValue(name);
  return "[Desktop Entry]\nType=Application\nName=" + escapedName.value_or("OxlaVPN") +
         "\nExec=" + *exec + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

bool TsLaunchAtLoginService::enableLoginItem(bool enabled) {
  const fs::path file = autostartFile();
  std::error_code ec;
  if (!enabled) {
    fs::remove(file, ec);
    if (ec)
      gelmora::logLine("launch at login: cannot remove " + file.string() + ": " + ec.message());
    return !ec;
  }
  std::optional<std::string> entry = desktopEntry(programPath());
  if (!entry) {
    gelmora::logLine("launch at login: the program path cannot be written in an Exec line");
    return false;
  }
  fs::create_directories(file.parent_path(), ec);
  // Written beside and renamed over, so a reader never sees half an entry.
  std::string tmp = file.string() + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    gelmora::logLine("launch at login: cannot write in " + file.parent_path().string());
    return false;
  }
  bool ok = ::fchmod(fd, 0644) == 0 && writeWhole(fd, *entry) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(tmp.c_str(), file.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  gelmora::logLine("launch at login: cannot write " + file.string());
  return false;
}
