#pragma once
// Launch at login as an XDG autostart entry:
// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/cn.gelmoras.Gelmoras2.desktop starts the installed
// program at the next login. No companion program is involved, so there is none to tell to quit.
#include <filesystem>
#include <optional>
#include <string>

class TsLaunchAtLoginService {
 public:
  // Writes (yes) or removes (no) the autostart entry; true when the entry is as asked afterwards.
  static bool enableLoginItem(bool enabled);
  // Does nothing: the autostart entry starts the application itself.
  static void terminateHelperApp() {}

  static std::filesystem::path autostartFile();
  // The program the entry starts; default the running executable.
  static void setProgramPath(std::string path);
  static std::string programPath();

  // The Exec value that runs `program` with no arguments: quoted as the desktop entry format
  // asks when it holds a reserved character, then escaped as a string value. None for a path
  // that cannot be written there (empty, or a control character other than tab, newline, CR).
  static std::optional<std::string> execValue(const std::string& program);
  // The whole entry; none when execValue is none.
  static std::optional<std::string> desktopEntry(const std::string& program);
};
