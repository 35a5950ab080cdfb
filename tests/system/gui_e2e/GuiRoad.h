// The user's whole road on the installed application: this build installed into a fresh prefix,
// the filter suite's scene (relay in ent, echo and DNS servers in srv) using the prefix's own
// loader and filter, the service's stand-ins in this process inside the client namespace, and the
// installed bin/gelmora started there under Xvfb with a fresh home, a brand file naming the
// stand-ins and the test driver loaded into it. The road talks to the application only through
// the driver's socket.
//
// main() builds the scene and moves the process into the client namespace before any thread
// exists, so every stand-in thread serves from there.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Scene.h"
#include "systest/Systest.h"

namespace standin {
class FrontStandin;
class GeoStandin;
class HttpStandin;
class OlderService;
class StoreStandin;
class AnalyticsCollector;
class AddressEcho;
namespace account {
class AccountServer;
}
}  // namespace standin

namespace gui_e2e {

// One connection to the driver inside the application: a JSON object per line each way.
class Driver {
 public:
  Driver() = default;
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;
  // Connects once the socket answers, while `alive` holds, within `limit`.
  bool connect(const std::string& socketPath, const std::function<bool()>& alive,
               std::chrono::milliseconds limit);
  // The answer to one command; {"ok": false, "error": ...} when the connection failed.
  nlohmann::json cmd(const nlohmann::json& command);
  // Shorthands; each answers whether "ok" was true, with the answer in *out when given.
  bool wait(const std::string& path, const std::string& what, int timeoutMs,
            nlohmann::json* out = nullptr, const nlohmann::json& equals = nullptr);
  bool click(const std::string& path);
  bool type(const std::string& path, const std::string& text);
  std::optional<std::string> text(const std::string& path);
  bool visible(const std::string& path);
  void close();

 private:
  int fd_ = -1;
  std::string buffer_;
};

// The installation, the stand-ins and the running application of one road.
class Road {
 public:
  enum class Mode { Kext, Tunnel };
  // `mode` names the screenshot folder; Tunnel installs the other mode's program over bin/gelmora.
  Road(Mode mode, std::string buildDir);
  ~Road();
  Road(const Road&) = delete;
  Road& operator=(const Road&) = delete;

  // Root and the tools are needed: empty when the road can run, else why not.
  static std::string skipReason();
  // Installs the build into a root-owned prefix below /run (the loader refuses a chain of
  // folders others may write). Before the scene: the scene uses the prefix's daemons.
  bool install(std::string* why);
  std::string libexecDir() const;
  // Inside the client namespace: starts the stand-ins and writes the brand file.
  bool startStandins(const tsl::Scene& scene, const nlohmann::json& ruleList, std::string* why);
  // Starts the installed application as `uid` (root when 0), connected to the driver. With
  // `privateResolver` it runs in a mount namespace of its own whose /etc is an overlay, so a
  // daemon it starts may rewrite the resolver file without touching the machine's.
  bool startApp(const tsl::Scene& scene, uid_t uid, gid_t gid, std::string* why,
                bool privateResolver = false);
  // The application's process (from the driver).
  pid_t appPid();
  // Waits for the application's end; its exit code.
  std::optional<int> waitApp(std::chrono::milliseconds limit);
  bool appRunning();
  std::string appLog() const;

  // Grabs the main window into build/screenshots/gui_e2e/<mode>/<name>; the saved file.
  // `fromScreen`: as the display shows it (web views draw only there).
  std::string screenshot(const std::string& name, const std::string& path = ".TsWindow",
                         bool fromScreen = false);

  Driver& driver() { return driver_; }
  const std::filesystem::path& home() const { return home_; }
  const std::filesystem::path& prefix() const { return prefix_; }
  standin::account::AccountServer& account() { return *account_; }
  standin::FrontStandin& front() { return *front_; }
  standin::OlderService& older() { return *older_; }
  standin::StoreStandin& store() { return *store_; }
  standin::GeoStandin& geo() { return *geo_; }

 private:
  Mode mode_;
  std::string build_;
  std::unique_ptr<systest::TempDir> work_;
  std::filesystem::path prefix_, home_, plugins_, shots_;
  std::unique_ptr<standin::account::AccountServer> account_;
  std::unique_ptr<standin::OlderService> older_;
  std::unique_ptr<standin::FrontStandin> front_;
  std::unique_ptr<standin::HttpStandin> web_;
  std::unique_ptr<standin::GeoStandin> geo_;
  std::unique_ptr<standin::StoreStandin> store_;
  std::unique_ptr<standin::AnalyticsCollector> analytics_;
  std::unique_ptr<standin::AddressEcho> echo_;
  systest::Process app_;
  std::string socket_;
  Driver driver_;
};

// Processes whose executable is `exe` (any namespace).
std::vector<pid_t> pidsOf(const std::string& exe);

// Whether `color` is within `tolerance` of `expected` in every channel, at (x, y) of a PNG.
bool pixelNear(const std::string& png, int x, int y, uint32_t expectedRgb, int tolerance,
               std::string* seen);
// Pixels in the rectangle that differ from `background` by more than `tolerance`.
int pixelsOff(const std::string& png, int x, int y, int w, int h, uint32_t backgroundRgb,
              int tolerance);

}  // namespace gui_e2e
