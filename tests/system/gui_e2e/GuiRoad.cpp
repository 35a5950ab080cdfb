#include "GuiRoad.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QColor>
#include <QImage>
#include <cstring>
#include <fstream>
#include <sstream>

#include "standin/AccountServer.h"
#include "standin/AddressEcho.h"
#include "standin/AnalyticsCollector.h"
#include "standin/FrontStandin.h"
#include "standin/GeoStandin.h"
#include "standin/OlderService.h"
#include "standin/StoreStandin.h"
#include "standin/WebStandin.h"

namespace gui_e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {
bool refuse(std::string* why, const char* what) {
  *why = std::string(what) + " did not start";
  return false;
}
}  // namespace

Driver::~Driver() { close(); }

void Driver::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
}

bool Driver::connect(const std::string& socketPath, const std::function<bool()>& alive,
                     std::chrono::milliseconds limit) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, socketPath.c_str(), socketPath.size() + 1);
  return systest::waitFor(
             [&] {
               if (!alive()) return true;
               int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
               if (fd < 0) return false;
               if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                 ::close(fd);
                 return false;
               }
               fd_ = fd;
               return true;
             },
             limit) &&
         fd_ >= 0;
}

json Driver::cmd(const json& command) {
  if (fd_ < 0) return {{"ok", false}, {"error", "not connected"}};
  const std::string line = command.dump() + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      close();
      return {{"ok", false}, {"error", "send failed"}};
    }
    sent += static_cast<size_t>(n);
  }
  // A wait command holds its answer up to its own deadline: allow that and a margin.
  const int timeout = command.value("timeout_ms", 10000) + 60000;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string answer = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      auto j = json::parse(answer, nullptr, false);
      if (!j.is_object()) return {{"ok", false}, {"error", "bad answer: " + answer}};
      return j;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {{"ok", false}, {"error", "no answer in time"}};
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      close();
      return {{"ok", false}, {"error", "the driver closed the connection"}};
    }
    buffer_.append(buf, static_cast<size_t>(n));
  }
}

bool Driver::wait(const std::string& path, const std::string& what, int timeoutMs, json* out,
                  const json& equals) {
  json c = {{"cmd", "wait"}, {"path", path}, {"what", what}, {"timeout_ms", timeoutMs}};
  if (!equals.is_null()) c["equals"] = equals;
  json r = cmd(c);
  if (out) *out = r;
  return r.value("ok", false);
}

bool Driver::click(const std::string& path) {
  return cmd({{"cmd", "click"}, {"path", path}}).value("ok", false);
}

bool Driver::type(const std::string& path, const std::string& text) {
  return cmd({{"cmd", "type"}, {"path", path}, {"text", text}}).value("ok", false);
}

std::optional<std::string> Driver::text(const std::string& path) {
  json r = cmd({{"cmd", "text"}, {"path", path}});
  if (!r.value("ok", false)) return std::nullopt;
  return r.value("text", "");
}

bool Driver::visible(const std::string& path) {
  json r = cmd({{"cmd", "find"}, {"path", path}});
  return r.value("ok", false) && r.value("visible", false);
}

Road::Road(Mode mode, std::string buildDir) : mode_(mode), build_(std::move(buildDir)) {}

Road::~Road() {
  driver_.close();
  if (app_.pid() > 0 && app_.running()) {
    app_.signal(SIGTERM);
    if (!app_.wait(20s)) app_.signal(SIGKILL);
    app_.wait(5s);
  }
  if (front_) front_->stop();
  if (account_) account_->stop();
  if (older_) older_->stop();
  if (web_) web_->stop();
  if (geo_) geo_->stop();
  if (store_) store_->stop();
  if (analytics_) analytics_->stop();
  if (echo_) echo_->stop();
}

std::string Road::skipReason() {
  std::string why = systest::skipReason();
  if (!why.empty()) return why;
  for (const char* tool : {"xvfb-run", "setpriv", "cmake"})
    if (!systest::sh(std::string("command -v ") + tool + " >/dev/null").ok())
      return std::string(tool) + " is not installed";
  return "";
}

bool Road::install(std::string* why) {
  work_ = std::make_unique<systest::TempDir>("gelmora-e2e", "/run");
  ::chmod(work_->path().c_str(), 0755);
  prefix_ = work_->path() / "prefix";
  home_ = work_->path() / "home";
  plugins_ = work_->path() / "plugins";
  const auto r = systest::sh("umask 022 && cmake --install '" + build_ + "' --prefix '" +
                             prefix_.string() + "' 2>&1");
  if (!r.ok()) {
    *why = "cmake --install: " + r.output;
    return false;
  }
  if (mode_ == Mode::Tunnel) {
    const auto t = systest::sh("umask 022 && cmake --install '" + build_ + "' --prefix '" +
                               prefix_.string() + "' --component other_mode 2>&1");
    if (!t.ok()) {
      *why = "cmake --install --component other_mode: " + t.output;
      return false;
    }
  }
  std::error_code ec;
  fs::create_directories(plugins_ / "generic", ec);
  fs::copy_file(fs::path(build_) / "gui-driver" / "generic" / "libgelmora_gui_driver.so",
                plugins_ / "generic" / "libgelmora_gui_driver.so", ec);
  if (ec) {
    *why = "the driver plugin: " + ec.message();
    return false;
  }
  systest::sh("chmod -R a+rX '" + plugins_.string() + "'");
  shots_ = fs::path(build_) / "screenshots" / "gui_e2e" / (mode_ == Mode::Kext ? "kext" : "tunnel");
  fs::remove_all(shots_, ec);
  fs::create_directories(shots_, ec);
  return true;
}

std::string Road::libexecDir() const { return (prefix_ / "libexec" / "gelmora").string(); }

bool Road::startStandins(const tsl::Scene& scene, const json& ruleList, std::string* why) {
  (void)scene;
  store_ = std::make_unique<standin::StoreStandin>();
  account_ = std::make_unique<standin::account::AccountServer>();
  older_ = std::make_unique<standin::OlderService>();
  web_ = std::make_unique<standin::HttpStandin>();
  geo_ = std::make_unique<standin::GeoStandin>();
  analytics_ = std::make_unique<standin::AnalyticsCollector>();
  echo_ = std::make_unique<standin::AddressEcho>();
  if (!store_->start()) return refuse(why, "store stand-in");
  account_->setStorePublicKey(store_->publicKey());
  if (!account_->start()) return refuse(why, "account stand-in");
  // The area/ISP library of the service differs from the installed one: it is downloaded.
  std::ifstream fixture(std::string(OLDER_SERVICE_FIXTURES_DIR) + "/area_isp.txt");
  std::ostringstream library;
  library << fixture.rdbuf();
  if (library.str().empty()) return (*why = "no area/ISP library fixture", false);
  older_->putFile("/files/area_isp.txt", library.str() + "# served by the road\n");
  older_->setAnswer("/q5client/rule/list", ruleList);
  if (!older_->start()) return refuse(why, "older-service stand-in");
  front_ = std::make_unique<standin::FrontStandin>(account_->host(), older_->address());
  if (!front_->start()) return refuse(why, "front stand-in");
  standin::WebStandin::addFile(*web_, "/sample.png", standin::WebStandin::samplePng(), "image/png");
  standin::WebStandin::addDirectory(*web_, WEB_PAGES_DIR);
  if (!web_->start()) return refuse(why, "web stand-in");
  geo_->setServiceData({{"country", "Japan"}, {"city", "Tokyo"}, {"ip", "203.0.113.9"}});
  if (!geo_->start()) return refuse(why, "geo stand-in");
  if (!analytics_->start()) return refuse(why, "analytics stand-in");
  if (!echo_->start()) return refuse(why, "address echo stand-in");

  const std::string geoHost = geo_->serviceUrl().substr(7, geo_->serviceUrl().size() - 8);
  json brand = {{"Q4ServiceDomain", front_->hostPort()},
                {"Q5ServiceDomain", front_->hostPort()},
                {"WebDomain", web_->hostPort()},
                {"H5Domain", web_->hostPort()},
                {"StandbyServiceDomain1", ""},
                {"StandbyServiceDomain2", ""},
                {"StandbyServiceDomain3", ""},
                {"FDServiceDomain", account_->host()},
                {"LegacyServiceHost", older_->address()},
                {"AnalyticsURL", analytics_->url()},
                {"GeoServiceHost", geoHost},
                {"GeoTaobaoURL", geo_->taobaoUrl()},
                {"GeoIpipURL", geo_->echoUrl()},
                {"IPEchoURL", echo_->url()},
                {"StoreServerURL", store_->url()}};
  std::ofstream(work_->path() / "brand.json") << brand.dump(2) << "\n";
  ::chmod((work_->path() / "brand.json").c_str(), 0644);
  return true;
}

bool Road::startApp(const tsl::Scene& scene, uid_t uid, gid_t gid, std::string* why,
                    bool privateResolver) {
  std::error_code ec;
  for (const char* d : {"config", "data", "cache", "keychain", "runtime", "shots"})
    fs::create_directories(home_ / d, ec);
  ::chmod((home_ / "runtime").c_str(), 0700);
  systest::sh("chown -R " + std::to_string(uid) + ":" + std::to_string(gid) + " '" +
              home_.string() + "'");
  socket_ = (home_ / "runtime" / "driver.sock").string();
  const std::string h = home_.string();
  std::vector<std::string> argv;
  if (privateResolver) {
    // /etc behind an overlay: the daemon's resolver file and its backup land in the upper layer.
    const std::string upper = (work_->path() / "etc-upper").string();
    const std::string scratch = (work_->path() / "etc-work").string();
    fs::create_directories(upper, ec);
    fs::create_directories(scratch, ec);
    argv = {"/usr/bin/unshare",
            "--mount",
            "--propagation",
            "private",
            "sh",
            "-c",
            "mount -t overlay overlay -o lowerdir=/etc,upperdir=\"$0\",workdir=\"$1\" /etc && "
            "shift && exec \"$@\"",
            upper,
            scratch};
  }
  if (uid != 0)
    argv.insert(argv.end(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                             "--regid=" + std::to_string(gid), "--clear-groups"});
  std::vector<std::string> env = {"/usr/bin/env",
                                  "-i",
                                  "PATH=/usr/local/bin:/usr/bin:/bin",
                                  "HOME=" + h,
                                  "USER=gelmora-e2e",
                                  "LANG=C.UTF-8",
                                  "XDG_CONFIG_HOME=" + h + "/config",
                                  "XDG_DATA_HOME=" + h + "/data",
                                  "XDG_CACHE_HOME=" + h + "/cache",
                                  "XDG_RUNTIME_DIR=" + h + "/runtime",
                                  "GELMORA_KEYCHAIN_DIR=" + h + "/keychain",
                                  "GELMORA_BRAND_FILE=" + (work_->path() / "brand.json").string(),
                                  "GELMORA_UI_TIME_SCALE=0.01",
                                  std::string("GELMORA_EDNS_SERVER=") + tsl::kAskedDNS,
                                  "QTWEBENGINE_DISABLE_SANDBOX=1",
                                  "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu",
                                  "QT_QPA_PLATFORM=xcb",
                                  "QT_SCALE_FACTOR=1",
                                  "QT_PLUGIN_PATH=" + plugins_.string(),
                                  "QT_QPA_GENERIC_PLUGINS=gelmoraguidriver:" + socket_};
  // Root's filter runs in the scene's run folder; an ordinary user's in the installation's.
  if (uid == 0) env.push_back("TAMSEL_RUN_DIR=" + scene.runDir());
  argv.insert(argv.end(), env.begin(), env.end());
  for (const char* a : {"xvfb-run", "-a", "-s", "-screen 0 1280x1024x24"}) argv.push_back(a);
  argv.push_back((prefix_ / "bin" / "gelmora").string());
  systest::SpawnOptions o;
  o.netns = &scene.cli();
  o.workdir = h;
  o.logFile = (work_->path() / "app.log").string();
  app_ = systest::Process::spawn(argv, o);
  if (!driver_.connect(
          socket_, [this] { return app_.running(); }, 90s)) {
    *why = "the driver never answered:\n" + appLog();
    return false;
  }
  return true;
}

pid_t Road::appPid() {
  json r = driver_.cmd({{"cmd", "first_exposed"}});
  return r.value("ok", false) ? static_cast<pid_t>(r["pid"].get<double>()) : -1;
}

std::optional<int> Road::waitApp(std::chrono::milliseconds limit) { return app_.wait(limit); }

bool Road::appRunning() { return app_.running(); }

std::string Road::appLog() const {
  std::ifstream in(work_->path() / "app.log");
  std::ostringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  return text.size() > 6000 ? text.substr(text.size() - 6000) : text;
}

std::string Road::screenshot(const std::string& name, const std::string& path, bool fromScreen) {
  // The application writes as its own user into its home; the copy goes into the build tree.
  const fs::path own = home_ / "shots" / name;
  json r = driver_.cmd(
      {{"cmd", "grab"}, {"path", path}, {"file", own.string()}, {"screen", fromScreen}});
  if (!r.value("ok", false)) return "";
  std::error_code ec;
  fs::copy_file(own, shots_ / name, fs::copy_options::overwrite_existing, ec);
  return ec ? "" : (shots_ / name).string();
}

std::vector<pid_t> pidsOf(const std::string& exe) {
  std::vector<pid_t> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    if (fs::read_symlink(e.path() / "exe", linkError).string() == exe)
      out.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return out;
}

bool pixelNear(const std::string& png, int x, int y, uint32_t expectedRgb, int tolerance,
               std::string* seen) {
  QImage image(QString::fromStdString(png));
  if (image.isNull() || x >= image.width() || y >= image.height()) {
    if (seen) *seen = "no image";
    return false;
  }
  const QColor c = image.pixelColor(x, y);
  const QColor e(static_cast<QRgb>(expectedRgb));
  if (seen) *seen = c.name().toStdString();
  return std::abs(c.red() - e.red()) <= tolerance && std::abs(c.green() - e.green()) <= tolerance &&
         std::abs(c.blue() - e.blue()) <= tolerance;
}

int pixelsOff(const std::string& png, int x, int y, int w, int h, uint32_t backgroundRgb,
              int tolerance) {
  QImage image(QString::fromStdString(png));
  if (image.isNull()) return -1;
  const QColor b(static_cast<QRgb>(backgroundRgb));
  int off = 0;
  for (int i = x; i < x + w && i < image.width(); ++i)
    for (int j = y; j < y + h && j < image.height(); ++j) {
      const QColor c = image.pixelColor(i, j);
      off += std::abs(c.red() - b.red()) > tolerance ||
             std::abs(c.green() - b.green()) > tolerance ||
             std::abs(c.blue() - b.blue()) > tolerance;
    }
  return off;
}

}  // namespace gui_e2e
