#pragma once
// Shared set-up of the account centre's widget tests: fresh defaults, a user controller whose
// session the test builds, the account stand-in (every brand host points at it unless a test
// says otherwise), recording alerts, web windows and shop sheets, and UI durations at 1 %.
#include <gtest/gtest.h>

#include <QWidget>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../TestSupport.h"
#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "UiTestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "platform/notifications/NotificationCenter.h"
#include "standin/AccountServer.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Sections/Me/MeSupport.h"

namespace me_test {

class HostsEnvironment : public AppOxlaEnvironment {
 public:
  HostsEnvironment(const std::string& service, const std::string& web) {
    for (const char* key : {"Q4ServiceDomain", "Q5ServiceDomain", "H5Domain"}) assign(key, service);
    assign("WebDomain", web);
  }
};

struct RecordingAlerts {
  struct Question {
    QString title, message;
    std::function<void()> yes;
  };
  std::vector<Question> questions;
  std::vector<QString> notices;
  gelmora::ui::MeAlerts alerts() {
    gelmora::ui::MeAlerts a;
    a.confirm = [this](QWidget*, const QString& t, const QString& m, std::function<void()> yes) {
      questions.push_back({t, m, std::move(yes)});
    };
    a.notice = [this](const QString&, const QString& m) { notices.push_back(m); };
    return a;
  }
};

class FakeWebWindow : public gelmora::ui::WebWindowHandle {
 public:
  explicit FakeWebWindow(int* closes) : closes_(closes) {}
  void close() override { ++*closes_; }
  QWidget* window() const override { return nullptr; }

 private:
  int* closes_;
};

class MeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    gelmora::ui::UiTiming::setScale(0.01);
    TQAPIConfig::sharedInstance().reset();
    ASSERT_TRUE(account.start());
    set_JVXDomain(account.host());
    JVXServiceEngine::sharedEngine().setFastAPIMode(false);
    setHosts(account.host(), account.host());
    store = std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
    user = std::make_unique<TsUserController>(*defaults);
    screens.webWindow.set([this](const gelmora::ui::WebWindowRequest& r) {
      webRequests.push_back(r);
      return std::unique_ptr<gelmora::ui::WebWindowHandle>(new FakeWebWindow(&webCloses));
    });
    screens.shopSheet.set([this](QWidget*) -> QWidget* {
      ++sheets;
      return nullptr;
    });
  }
  void TearDown() override {
    platform::notifications::NotificationCenter::defaultCenter().removeObserver(this);
    user.reset();
    AppEnvironment::setCurrentEnvironment(nullptr);
    TQAPIConfig::sharedInstance().reset();
    account.stop();
    gelmora::ui::UiTiming::setScale(1);
  }
  void setHosts(const std::string& service, const std::string& web) {
    AppEnvironment::setCurrentEnvironment(std::make_shared<HostsEnvironment>(service, web));
  }
  // The session of `info`, and an account of the same uid at the stand-in.
  void signIn(nlohmann::json info) {
    if (info.contains("uid") && !account.accountByUid(info["uid"].get<int64_t>())) {
      standin::account::Account a;
      a.uid = info["uid"].get<int64_t>();
      a.username = info.value("username", "u");
      a.phone = info.value("phone_number", "");
      account.addAccount(a);
    }
    auto userInfo = tq::fromDictionary<JVX_USER_INFO>(info);
    ASSERT_TRUE(userInfo);
    user->setSession(GVTsSession::initWithUserInfo(*userInfo));
    user->updateStatus(false);
  }
  size_t seen(const std::string& path) const {
    size_t n = 0;
    for (const auto& r : account.requests()) n += r.path == path;
    return n;
  }
  void recordPosts(std::string_view name) {
    platform::notifications::NotificationCenter::defaultCenter().addObserver(
        this, name,
        [this](const platform::notifications::Notification& n) { posted.push_back(n.name); });
  }
  size_t count(std::string_view name) const {
    return std::count(posted.begin(), posted.end(), std::string(name));
  }

  TempDir tmp;
  standin::account::AccountServer account;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  gelmora::ui::ScreenRegistry screens;
  RecordingAlerts alerts;
  std::vector<gelmora::ui::WebWindowRequest> webRequests;
  std::vector<std::string> posted;
  int webCloses = 0;
  int sheets = 0;
};

}  // namespace me_test
