#include "gelmora/Application/AppDependencies.h"

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/Codec/Base64.h"
#include "gelmora/Core/AccelerationController.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Localization.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/General/Helper/FTWDevice.h"
#include "gelmora/Service/Tools/TsUtils.h"
#include "platform/notifications/NotificationCenter.h"

namespace {

constexpr const char* kUpgradeMessageKey = "当前版本过低，请升级后使用";

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

bool isWebAddress(const std::string& url) {
  return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

std::string textOf(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The pop flag as a truth value: a number other than 0, true, or a text that reads as one.
bool truthOf(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return false;
  auto it = object.find(key);
  if (it == object.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number()) return it->get<double>() != 0;
  if (it->is_string()) {
    auto n = TsUtilIntegerValueNumberGuard(*it);
    return n && n->is_number() && n->get<double>() != 0;
  }
  return false;
}

}  // namespace

AppDependencies::AppDependencies(Collaborators collaborators)
    : c_(std::move(collaborators)),
      user_(c_.user ? *c_.user : app().user()),
      defaults_(c_.defaults ? *c_.defaults : app().defaults()) {}

AppDependencies::~AppDependencies() {
  alive_.reset();
  // The controller outlives the windows; alerts still due find no presenter.
  if (vpn_) vpn_->setAlertPresenter(nullptr);
  subscriptions_.dispose();
  // The handlers reach this object; calls that end later must not.
  if (handlersInstalled_) {
    TQAPIConfig::sharedInstance().setGlobalFailedHandler(nullptr);
    TQAPIConfig::sharedInstance().setGlobalSuccessHandler(nullptr);
  }
}

void AppDependencies::setUpAll() {
  setUpBrandSpec();
  setUpLogger();
  setUpAPI();
  checkLaunchParams();
  clearCookies();
  if (defaults_.autoLogin()) user_.trySignin();
  checkReceipt();
  vpn_ = c_.vpn ? c_.vpn : &app().vpn();
  vpn_->setAlertPresenter(c_.alerts);
  vpn_->prepare();
  if (c_.rootFactory) root_ = c_.rootFactory->create();
}

void AppDependencies::setUpBrandSpec() {
  auto env = c_.makeEnvironment ? c_.makeEnvironment() : AppEnvironment::make<AppOxlaEnvironment>();
  AppEnvironment::setCurrentEnvironment(env);
  domains_ = {env->Q5ServiceDomain(), env->StandbyServiceDomain1(), env->StandbyServiceDomain2(),
              env->StandbyServiceDomain3()};
  domainIndex_ = 0;
  set_JVXDomain(env->Q5ServiceDomain());
  set_JVXFDDomain(env->FDServiceDomain());
}

void AppDependencies::setUpAPI() {
  auto& config = TQAPIConfig::sharedInstance();
  handlersInstalled_ = true;
  config.setGlobalFailedHandler([this](TQAPI& api) { failedCall(api); });
  config.setGlobalSuccessHandler([this](TQAPI& api) { succeededCall(api); });
  std::string language = languageCode();
  config.setGlobalHeaderBuilder([language](TQAPIConfig::HeaderMap& headers) {
    headers["Client-Version"] = app().version();
    headers["System-Plat"] = "pc";
    headers["Platform"] = "OSX-MAS";
    headers["Language"] = language;
    auto env = app().env();
    headers["Brand"] = env ? env->AppBrand() : std::string();
    headers["System"] = FTWDevice::currentDevice().systemName();
    headers["Os-Version"] = FTWDevice::currentDevice().systemVersion();
  });
}

void AppDependencies::failedCall(TQAPI& api) {
  if (api.silence()) return;
  // A call refused before it was sent carries no error: nothing to show or act on, but the
  // failure is still worth a line in the log.
  if (api.lastErrors().empty()) {
    gelmora::logLine("call failed without an error: " + std::string(api.className()));
    return;
  }
  if (api.className() != JVX_API_USER_HEARTBEAT::kClassName) {
    if (!handleRespPop(api.popInfo(), true)) alertError(api.lastError().description);
  }
  // Server commands come with an answer of the service; a transport failure carries none.
  if (api.hasResp() || !api.respData().is_null()) handleServerCmd(api.lastError().code);
}

void AppDependencies::succeededCall(TQAPI& api) {
  handleRespPop(api.popInfo(), false);
  std::string feedback = textOf(api.respDictionary(), "feedback");
  if (feedback.empty()) return;
  if (!isWebAddress(feedback)) {
    gelmora::logLine("feedback address dropped: not an http or https address");
    return;
  }
  platform::notifications::NotificationCenter::defaultCenter().post(TsUserFeedbackNotification,
                                                                    feedback);
}

bool AppDependencies::handleRespPop(const nlohmann::json& popInfo, bool isError) {
  if (!truthOf(popInfo, "pop")) return false;
  std::string title = textOf(popInfo, "pop_title");
  std::string content = textOf(popInfo, "pop_content");
  std::string url = textOf(popInfo, "pop_url");
  if (!content.empty()) {
    if (isError) {
      alertError(content);
    } else {
      std::weak_ptr<bool> alive = alive_;
      alert(title, content, [this, alive, url](long) {
        if (alive.expired()) return;
        openWebAddress(url);
      });
    }
  }
  return true;
}

void AppDependencies::handleServerCmd(int64_t code) {
  if (code == 101) {
    user_.kickOff();
  } else if (code == 102) {
    platform::notifications::NotificationCenter::defaultCenter().post(
        TsUserCenterTopupNotification);
  }
}

void AppDependencies::alertError(const std::string& text) { alertError(text, std::nullopt); }

void AppDependencies::alertError(const std::string& text,
                                 const std::optional<std::string>& message) {
  if (!c_.alerts) return;
  std::optional<std::string> info;
  if (message && !message->empty()) info = message;
  c_.alerts->showErrorSheet(text.empty() ? std::nullopt : std::optional<std::string>(text), info);
}

void AppDependencies::alert(const std::string& title, const std::string& message,
                            AlertSheetPresenter::Completion completionHandler) {
  if (!c_.alerts) return;
  c_.alerts->showSheet(title.empty() ? std::nullopt : std::optional<std::string>(title),
                       message.empty() ? std::nullopt : std::optional<std::string>(message),
                       std::move(completionHandler));
}

void AppDependencies::openWebAddress(const std::string& url) {
  if (url.empty() || !isWebAddress(url)) {
    gelmora::logLine("address not opened: not an http or https address");
    return;
  }
  if (c_.urlOpener) c_.urlOpener->openURL(url);
}

// ---------------------------------------------------------------- language

std::string AppDependencies::languageCode(const std::string& P, const std::string& L,
                                          const std::string& C) {
  static const std::set<std::string> supported = {"zh-TW", "zh-CN", "en", "zh-HK", "ja", "pl", "es",
                                                  "fr",    "de",    "ko", "ru",    "it", "pt"};
  std::string lc = L + "-" + C;
  if (P == "zh-Hans") return "zh-CN";
  if (P == "zh-Hant") return "zh-TW";
  if (contains(lc, "zh") && (lc == "zh-TW" || lc == "zh-HK")) return "zh-TW";
  if (supported.count(lc)) return contains(lc, "en") ? "en-US" : lc;
  if (supported.count(L)) return contains(L, "en") ? "en-US" : L;
  return "en-US";
}

void AppDependencies::preferredLanguage(std::string& P, std::string& L, std::string& C) {
  auto var = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v ? v : "";
  };
  std::string raw = var("LANGUAGE");
  if (auto colon = raw.find(':'); colon != std::string::npos) raw.resize(colon);
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (!raw.empty()) break;
    raw = var(name);
  }
  // Drop ".codeset" and "@modifier"; "_" separates the territory.
  if (auto cut = raw.find_first_of(".@"); cut != std::string::npos) raw.resize(cut);
  if (raw.empty() || raw == "C" || raw == "POSIX") raw = "en-US";
  for (char& ch : raw)
    if (ch == '_') ch = '-';
  P = raw;
  L = raw.substr(0, raw.find('-'));
  C.clear();
  if (auto dash = raw.rfind('-'); dash != std::string::npos && raw.size() - dash - 1 == 2) {
    C = raw.substr(dash + 1);
    for (char& ch : C) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
}

std::string AppDependencies::languageCode() {
  std::string P, L, C;
  preferredLanguage(P, L, C);
  std::string code = languageCode(P, L, C);
  app().setLanguage(code);
  return code;
}

// ---------------------------------------------------------------- start-up parameters

void AppDependencies::checkLaunchParams() {
  auto call = std::make_shared<JVX_API_PARAMETERS_STARTUP>();
  call->req().platform = "OSX-MAS";
  call->req().language = languageCode();
  call->req().client_version = app().version();
  std::weak_ptr<bool> alive = alive_;
  subscriptions_.add(RAC::rac_send(call).subscribe(
      {[this, alive](const nlohmann::json& dict) {
         if (alive.expired()) return;
         launchParamsSettled_ = true;
         processLaunchParams(tq::fromDictionary<JVX_RESP_PARAMETERS_STARTUP>(dict).value_or(
             JVX_RESP_PARAMETERS_STARTUP{}));
       },
       [this, alive](const platform::reactive::Error&) {
         if (alive.expired()) return;
         // Standby hosts a brand leaves empty are skipped, so the domain never becomes empty.
         ++domainIndex_;
         while (domainIndex_ < static_cast<int64_t>(domains_.size()) &&
                domains_[static_cast<size_t>(domainIndex_)].empty())
           ++domainIndex_;
         if (domainIndex_ < static_cast<int64_t>(domains_.size())) {
           set_JVXDomain(domains_[static_cast<size_t>(domainIndex_)]);
           checkLaunchParams();
           return;
         }
         launchParamsSettled_ = true;
         if (!domains_.empty()) {
           // Every host failed: later calls go to the brand's own host again.
           set_JVXDomain(domains_.front());
         }
       },
       nullptr}));
}

void AppDependencies::processLaunchParams(const JVX_RESP_PARAMETERS_STARTUP& a) {
  if (TsUtilsCompareVersions(app().version(), a.minimal_version.value_or("")) == -1) {
    std::weak_ptr<bool> alive = alive_;
    alert("", gelmora::localizedString(kUpgradeMessageKey), [this, alive](long) {
      if (alive.expired()) return;
      goInstallPage();
      if (c_.process) c_.process->exit(0);
    });
  }
  user_.setPayable(a.payable && a.payable->intValue() == 1);
  user_.setEnableIAP(a.enable_iap && a.enable_iap->intValue() == 1);
  user_.setNewsTitle(a.news_title);
  user_.setNewsLink(a.news_url);
  if (a.picture_news) {
    user_.setPictureNews(tq::detail::encodeValue(*a.picture_news));
  } else {
    user_.setPictureNews(std::nullopt);
  }
  defaults_.setRecommendURL(a.recommend_url && !a.recommend_url->empty() ? *a.recommend_url
                                                                         : std::string());
  defaults_.setBackgroundImageURL(a.background_image_url && !a.background_image_url->empty()
                                      ? *a.background_image_url
                                      : std::string());
}

void AppDependencies::goInstallPage() {
  auto env = app().env();
  openWebAddress("http://" + (env ? env->WebDomain() : std::string()));
}

void AppDependencies::clearCookies() {
  if (!c_.webData) return;
  c_.webData->removeAllWebsiteData([](const std::string& name) {
    gelmora::logLine("Cookies for " + name + " deleted successfully");
  });
}

// ---------------------------------------------------------------- receipt

std::filesystem::path AppDependencies::defaultReceiptPath() {
  std::filesystem::path base;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data) {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::filesystem::path(home ? home : "") / ".local/share";
  }
  return base / "cn.gelmoras.Gelmoras2" / "receipt";
}

void AppDependencies::checkReceipt() {
  auto uid = user_.uid();
  std::filesystem::path path = c_.receiptPath ? *c_.receiptPath : defaultReceiptPath();
  std::error_code ec;
  if (!uid || !std::filesystem::is_regular_file(path, ec)) return;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  if (in) bytes << in.rdbuf();
  if (!in || in.bad()) {
    gelmora::logLine("store receipt unreadable, not uploaded: " + path.string());
    return;
  }
  auto call = std::make_shared<JVX_API_IAP_FINISH_PAYMENT>();
  call->req().uid = *uid;
  call->req().receipt = tq::base64Encode(bytes.str());
  auto accepted = c_.receiptAccepted;
  subscriptions_.add(RAC::rac_send(call).subscribe({[accepted](const nlohmann::json&) {
                                                      if (accepted) accepted();
                                                    },
                                                    nullptr, nullptr}));
}
