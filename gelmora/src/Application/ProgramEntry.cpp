#include "gelmora/Application/ProgramEntry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <system_error>

#include "gelmora/Core/AccelerationMode.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "gelmora/Service/Tools/Utils.h"
#include "gelmora/machine_mac_addr.h"

namespace fs = std::filesystem;

namespace gelmora::entry {

namespace {

constexpr const char* kChown = "/usr/bin/chown";
constexpr const char* kChmod = "/usr/bin/chmod";

bool safeOwner(const struct stat& st) {
  return st.st_uid == 0 && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// The tools of the folder that are there, in a fixed order; the loader and the filter daemon
// are always named (their absence is caught before).
std::vector<std::string> installedTools(const InstallLayout& l) {
  std::vector<std::string> tools{l.zandrel, l.kext};
  for (const std::string* p : {&l.kextstat, &l.tunnel, &l.authRunner}) {
    struct stat st;
    if (::lstat(p->c_str(), &st) == 0) tools.push_back(*p);
  }
  return tools;
}

}  // namespace

std::optional<InstallLayout> layoutFor(std::string_view executable) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t slash = executable.find('/', start);
    parts.push_back(executable.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (parts.size() < 3) return std::nullopt;
  InstallLayout l;
  for (std::size_t i = 0; i + 2 < parts.size(); ++i) {
    l.prefix += parts[i];
    l.prefix += '/';
  }
  l.procname = std::string(parts.back());
  l.libexecDir = l.prefix + "libexec/gelmora";
  l.zandrel = l.libexecDir + "/zandrel";
  l.kext = l.libexecDir + "/tamseld";
  l.kextstat = l.libexecDir + "/tamselstat";
  l.tunnel = l.libexecDir + "/galvent-tunnel";
  l.authRunner = l.libexecDir + "/gelmora-auth-runner";
  l.resources = l.prefix + "share/gelmora/";
  l.logo = l.resources + "logo.png";
  l.areaispSource = l.resources + "area_isp.txt";
  return l;
}

std::string executablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

bool isPlainAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

bool resetUserDefaults(platform::defaults::Store& defaults) {
  if (defaults.textValue(kDefaultsSchemeKey) == std::optional<std::string>(kDefaultsSchemeVersion))
    return false;
  defaults.removeDomain();
  defaults.set(kDefaultsSchemeKey, std::string(kDefaultsSchemeVersion));
  logLine("Reset User Defaults");
  return true;
}

fs::path areaispPath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  fs::path base;
  if (data && *data == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home && *home ? home : "/") / ".local/share";
  }
  return base / "cn.gelmoras.Gelmoras2" / "area_isp.txt";
}

void setInstalledPaths(const InstallLayout& l) {
  Utils::setZandrelPath(l.zandrel);
  Utils::setKextPath(l.kext);
  Utils::setKextstatPath(l.kextstat);
  TsParams::setDirectoryOfResource(l.resources);
  TsParams::setLogoPath(l.logo);
  const fs::path areaisp = areaispPath();
  std::error_code ec;
  if (!fs::exists(areaisp, ec)) {
    fs::create_directories(areaisp.parent_path(), ec);
    fs::copy_file(l.areaispSource, areaisp, ec);
    if (ec) logLine("area_isp.txt not copied from " + l.areaispSource + ": " + ec.message());
  }
  TsParams::setAreaispPath(areaisp.string());
  // The installed runner; how elevation is asked for stays as set.
  platform::auth::Options auth = STPrivilegedTask::authOptions();
  auth.runner = l.authRunner;
  STPrivilegedTask::setAuthOptions(auth);
  configureAccelerationMode({l.tunnel, l.resources, auth});
  logLine(std::string("acceleration_mode = ") + accelerationModeName());
  logLine("zandrel_path = " + l.zandrel);
  logLine("kext_path = " + l.kext);
  logLine("area_isp_path = " + areaisp.string());
  logLine("logo_path = " + l.logo);
}

OwnerState ownerState(const InstallLayout& l) {
  struct stat folder, loader, daemon;
  // A symbolic link among them would let a change of owner or mode land elsewhere.
  for (const auto& p : std::vector<std::string>{l.libexecDir, l.zandrel, l.kext}) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) {
      logLine("owner test: " + p + " cannot be read or is a symbolic link");
      return OwnerState::Unreadable;
    }
  }
  if (::stat(l.libexecDir.c_str(), &folder) != 0 || ::stat(l.zandrel.c_str(), &loader) != 0 ||
      ::stat(l.kext.c_str(), &daemon) != 0)
    return OwnerState::Unreadable;
  logLine("测试权限成功");
  bool ready = safeOwner(folder) && safeOwner(loader) && (loader.st_mode & S_ISUID) &&
               (loader.st_mode & S_IXUSR) && safeOwner(daemon) && (daemon.st_mode & S_IXUSR);
  for (const std::string& tool : installedTools(l)) {
    struct stat st;
    if (::lstat(tool.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return OwnerState::Unreadable;
    if (!safeOwner(st)) ready = false;
  }
  return ready ? OwnerState::Ready : OwnerState::NeedsFix;
}

std::vector<Command> ownerFixCommands(const InstallLayout& l) {
  std::vector<std::string> targets{l.libexecDir};
  for (auto& t : installedTools(l)) targets.push_back(std::move(t));
  Command own{kChown, {"-h", "root:root"}};
  Command mode{kChmod, {"0755"}};
  own.args.insert(own.args.end(), targets.begin(), targets.end());
  mode.args.insert(mode.args.end(), targets.begin(), targets.end());
  return {own, mode, Command{kChmod, {"4755", l.zandrel}}};
}

bool fixOwners(const InstallLayout& l) {
  std::shared_ptr<STPrivilegedTask> task = Utils::rootExecHandler();
  if (!task) return false;
  for (const Command& c : ownerFixCommands(l)) {
    task->setLaunchPath(c.tool);
    task->setArguments(c.args);
    int32_t err = task->launch();
    task->waitUntilExit();
    std::string line = "owner fix: " + c.tool;
    for (const auto& a : c.args) line += " " + a;
    logLine(line + " -> " + std::to_string(err) + "/" + std::to_string(task->terminationStatus()));
  }
  return true;
}

std::optional<std::string> gaParamsFromPasteboard(std::string_view text) {
  if (text.substr(0, kPasteboardPrefix.size()) != kPasteboardPrefix) return std::nullopt;
  std::string left;
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i, kPasteboardPrefix.size()) == kPasteboardPrefix) {
      i += kPasteboardPrefix.size();
    } else {
      left += text[i++];
    }
  }
  if (left.empty()) return std::nullopt;
  return left;
}

std::optional<int> runStartupChecks(const std::string& executable,
                                    platform::defaults::Store& defaults, StartupSteps steps) {
  if (!steps.alert) steps.alert = [](const std::string& text) { logLine("start-up: " + text); };
  if (!steps.unloadKEXT) steps.unloadKEXT = Utils::unloadKEXT;
  if (!steps.loakKEXT) steps.loakKEXT = Utils::loakKEXT;
  if (!steps.existKEXT) steps.existKEXT = Utils::existKEXT;

  if (!isPlainAscii(executable)) {
    steps.alert(kNonAsciiPathText + executable);
    return 1;
  }
  resetUserDefaults(defaults);
  std::optional<InstallLayout> layout = layoutFor(executable);
  if (!layout) {
    logLine("argv[0] = " + executable + ": no install prefix");
    steps.alert(kFilesMissingText);
    return 1;
  }
  setInstalledPaths(*layout);
  logLine("argv[0] = " + executable);
  std::error_code ec;
  if (!fs::exists(layout->zandrel, ec) || !fs::exists(layout->kext, ec)) {
    steps.alert(kFilesMissingText);
    return 1;
  }
  switch (ownerState(*layout)) {
    case OwnerState::Unreadable:
      steps.alert(kOwnerTestFailedText);
      return 1;
    case OwnerState::NeedsFix:
      if (!fixOwners(*layout)) {
        steps.alert(kRightsRefusedText);
        return 1;
      }
      break;
    case OwnerState::Ready:
      break;
  }
  steps.unloadKEXT();
  if (steps.existKEXT()) {
    steps.alert(kUnloadFailedText);
    return 1;
  }
  steps.loakKEXT();
  if (!steps.existKEXT()) {
    steps.alert(kLoadFailedText);
    return 1;
  }
  MLOG().INFO("驱动安装成功", false);
  MLOG().INFO(std::string("MacAddress is: ") + machine_mac_addr(), false);
  return std::nullopt;
}

}  // namespace gelmora::entry
