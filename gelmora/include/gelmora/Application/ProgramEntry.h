#pragma once
// The checks the program runs before any window exists: a plain-ASCII install path, the defaults
// layout version, the installed files and their owners (fixed under one administrator prompt),
// a fresh reload of the traffic filter. Qt-free; the entry point supplies the modal alert.
//
// Installed layout, from the running executable <prefix>/bin/gelmora:
//   <prefix>/libexec/gelmora/{zandrel,tamseld,tamselstat,galvent-tunnel,gelmora-auth-runner}
//   <prefix>/share/gelmora/{area_isp.txt,logo.png}
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/defaults/Store.h"

namespace gelmora::entry {

// Every start-up alert: this message text and one button.
inline constexpr const char* kAlertMessage = "错误";
inline constexpr const char* kAlertButton = "确定";
inline constexpr const char* kNonAsciiPathText =
    "仅支持英文目录，请把程序放到不包含中文的目录中后再运行。\n";
inline constexpr const char* kFilesMissingText = "未找到加速引擎文件，程序启动失败!\n";
inline constexpr const char* kOwnerTestFailedText = "测试权限失败!";
inline constexpr const char* kRightsRefusedText = "获取权限失败!\n请再次打开后重新输入正确密码";
inline constexpr const char* kUnloadFailedText = "卸载加速引擎失败，请重试";
inline constexpr const char* kLoadFailedText = "安装加速引擎失败，请重试";

inline constexpr const char* kDefaultsSchemeKey = "defaults_scheme_version";
inline constexpr const char* kDefaultsSchemeVersion = "1";

struct InstallLayout {
  std::string prefix;      // with a trailing "/"
  std::string procname;    // last component of the executable path
  std::string libexecDir;  // prefix + "libexec/gelmora" (no trailing "/")
  std::string zandrel;     // the set-user-id loader
  std::string kext;        // the filter daemon it loads
  std::string kextstat;    // the presence tool
  std::string tunnel;      // the tunnel daemon
  std::string authRunner;  // the privileged runner
  std::string resources;   // prefix + "share/gelmora/"
  std::string logo;
  std::string areaispSource;  // the shipped area/ISP table
};

// The layout of a program installed at `executable` (the prefix is the path cut before its last
// two components); none when the path has fewer than three components, so no prefix exists.
std::optional<InstallLayout> layoutFor(std::string_view executable);
// The running executable, from /proc/self/exe (empty when it cannot be read).
std::string executablePath();
bool isPlainAscii(std::string_view text);

// Clears the whole defaults domain unless it records the current layout version, then stores
// it. True when it cleared.
bool resetUserDefaults(platform::defaults::Store& defaults);

// ${XDG_DATA_HOME:-$HOME/.local/share}/cn.gelmoras.Gelmoras2/area_isp.txt: the table the address
// library update rewrites, so it lives in the user's data, not in the read-only install.
std::filesystem::path areaispPath();
// Hands the installed paths to everything that starts a tool or reads a resource (loader,
// filter, presence tool, resources, logo, area/ISP table, privileged runner, tunnel daemon in
// tunnel mode), and copies the shipped area/ISP table when the user has none.
void setInstalledPaths(const InstallLayout& layout);

enum class OwnerState {
  Ready,       // loader root-owned, set-user-id and executable; the rest root-owned and safe
  NeedsFix,    // anything else
  Unreadable,  // a status could not be read, or an entry is a symbolic link
};
// What the loader needs before it runs as root: the folder and each installed tool owned by root
// and not writable by group or others (the loader checks the chain down to the filter daemon,
// the runner is refused otherwise), the loader set-user-id with its owner-execute bit, the filter
// daemon owner-executable.
OwnerState ownerState(const InstallLayout& layout);

struct Command {
  std::string tool;
  std::vector<std::string> args;
  bool operator==(const Command&) const = default;
};
// The fix, in order: owner root:root, mode 0755 of the folder and every installed tool, then
// 04755 on the loader (last, because a change of owner or mode clears the set-user-id bit).
std::vector<Command> ownerFixCommands(const InstallLayout& layout);
// Runs the fix with the process's privileged task (one administrator prompt for the batch).
// False when the rights were not obtained; the results of the commands are not read here: the
// load check that follows catches a fix that did not take.
bool fixOwners(const InstallLayout& layout);

// What the start-up sequence does outside itself; empty members use the real ones.
struct StartupSteps {
  // Shows the modal start-up alert with this informative text; returns once it is dismissed.
  std::function<void(const std::string& informativeText)> alert;
  std::function<void()> unloadKEXT;
  std::function<void()> loakKEXT;
  std::function<bool()> existKEXT;
};

// Analytics parameters left on the pasteboard by the web site: a text that begins with the
// prefix, with every occurrence of the prefix removed; none when nothing is left or the text does
// not begin with it.
inline constexpr std::string_view kPasteboardPrefix = "dravik-ga:";
std::optional<std::string> gaParamsFromPasteboard(std::string_view text);

// The sequence before the main loop: ASCII path, defaults version, installed paths, files
// present, owners (fixed once when needed), filter unloaded and loaded again. None to go on,
// else the status to exit with once the alert has been dismissed.
std::optional<int> runStartupChecks(const std::string& executable,
                                    platform::defaults::Store& defaults, StartupSteps steps);

}  // namespace gelmora::entry
