#include "ui/Legacy/WelcomeWindow.h"

#include <QVBoxLayout>

#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Legacy/LegacyServices.h"
#include "gelmora/Legacy/LegacyWelcome.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "platform/dispatch/Queue.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Legacy/LegacySheets.h"

namespace gelmora::ui {

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;

namespace {
QString q(const std::string& s) { return QString::fromStdString(s); }

void showCentred(QWidget* w, QWidget* over) {
  if (!w) return;
  w->move(over->geometry().center() - w->rect().center());
  w->show();
  w->raise();
}
}  // namespace

WelcomeWindow::WelcomeWindow(const LegacyContext& context, QWidget* parent)
    : QWidget(parent, Qt::Window),
      ctx_(context.resolved()),
      worker_(std::make_shared<dispatch::SerialQueue>("older-welcome")) {
  setObjectName("WelcomeWindow");
  setWindowTitle(QStringLiteral("欢迎"));
  setStyleSheet(
      "QWidget#WelcomeWindow { background: qlineargradient(x1:0,y1:0,x2:1,y2:1,"
      " stop:0 #1f2a5a, stop:1 #4a1f5a); }"
      "QLabel { color: #ffffff; }"
      "QLabel#labelTitle { font-size: 30px; font-weight: bold; }"
      "QLabel#labelLoading { font-size: 16px; }"
      "QLabel#labelVersion { color: #b8bcd0; font-size: 12px; }");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(30, 60, 30, 20);
  auto* title = new QLabel(QStringLiteral("游戏加速器"), this);
  title->setObjectName("labelTitle");
  title->setAlignment(Qt::AlignCenter);
  layout->addWidget(title);
  layout->addStretch();
  auto* loading = new QLabel(QStringLiteral("正在启动"), this);
  loading->setObjectName("labelLoading");
  loading->setAlignment(Qt::AlignCenter);
  layout->addWidget(loading);
  layout->addStretch();
  auto* version = new QLabel(this);
  version->setObjectName("labelVersion");
  version->setAlignment(Qt::AlignRight);
  layout->addWidget(version);
  resize(480, 320);

  pointCount_ = 0;
  version->setText(q("v " + TsSystemInformation::clientVersion()));
  initOk_ = false;
  worker_->async([this] { startUp(); });
  std::weak_ptr<bool> alive = alive_;
  timerLoading_ = dispatch::repeating(
      600ms, dispatch::mainQueue(),
      [this, alive] {
        if (alive.lock()) timerLoadingAction();
      },
      {}, ctx_.clock);
}

WelcomeWindow::~WelcomeWindow() {
  alive_.reset();
  timerLoading_.cancel();
  worker_->shutdown();
}

void WelcomeWindow::timerLoadingAction() {
  pointCount_ = (pointCount_ + 1) % 3;
  findChild<QLabel*>("labelLoading")->setText(q(LegacyWelcome::loadingText(initOk_, pointCount_)));
}

void WelcomeWindow::startUp() {
  LegacyServices* services = ctx_.services;
  auto hosts =
      LegacyWelcome::hostList(TsParamsDirectory::getNSDictionaryValue("domain_list"),
                              LegacyContext::fallbackHost(1), LegacyContext::fallbackHost(2));
  std::string joined;
  for (const auto& h : hosts) joined += (joined.empty() ? "" : ", ") + h;
  services->setDomainList(hosts);
  LOG::console("当前使用的域名列表：" + joined);

  TQError error;
  auto reply = services->startup(&error);
  std::weak_ptr<bool> alive = alive_;
  if (!reply) {
    LOG::console("请求启动参数失败: " + error.description);
    dispatch::postToMain([this, alive] {
      if (!alive.lock()) return;
      LegacySheet sheet;
      sheet.message = QStringLiteral("启动程序失败");
      sheet.info = QStringLiteral("请求启动参数失败，请查看本地网络连接是否正常。");
      sheet.buttons = {QStringLiteral("意见反馈"), QStringLiteral("退出程序"),
                       QStringLiteral("忽略")};
      sheet.done = [this, alive](long response) {
        if (!alive.lock()) return;
        if (response == 1) {
          TsParamsDirectory::setValue("url_feedback", LegacyContext::supportChatURL());
          feedbackWindow_.reset(ctx_.screens->olderWebWindow.make("Feedback"));
          showCentred(feedbackWindow_.get(), this);
          close();
        } else if (response == 0) {
          close();
        } else {
          switchLogin();
        }
      };
      ctx_.sheets->show(this, std::move(sheet));
    });
    return;
  }
  auto reading = LegacyWelcome::readStartup(*reply);
  if (reading.domainList) {
    TsParamsDirectory::setNSDictionaryValue("domain_list", *reading.domainList);
    LOG::console("成功提取并保存域名信息");
  }
  if (reading.payList) {
    TsParamsDirectory::setNSDictionaryValue("pay_list", *reading.payList);
    LOG::console("成功提取并保存充值域名信息");
  }
  if (reading.outdated) {
    LOG::console("主程序需要更新, 开始更新");
    dispatch::postToMain([this, alive] {
      if (!alive.lock()) return;
      updateAsked_ = true;
      updateWindow_.reset(ctx_.screens->olderUpdate.make(ctx_));
      showCentred(updateWindow_.get(), this);
      hide();
    });
    return;
  }
  LOG::console("开始进入登录页面");
  AutoLogin();
}

void WelcomeWindow::AutoLogin() {
  initOk_ = true;
  std::string token;
  auto stored = TsParamsDirectory::getValue("login_token");
  if (stored && std::holds_alternative<std::string>(*stored))
    token = std::get<std::string>(*stored);
  std::weak_ptr<bool> alive = alive_;
  if (token.empty()) {
    dispatch::postToMain([this, alive] {
      if (alive.lock()) switchLogin();
    });
    return;
  }
  TQError error;
  auto reply = ctx_.services->autoLogin(token, &error);
  dispatch::postToMain([this, alive, reply, error] {
    if (!alive.lock()) return;
    if (!reply) {
      LegacySheet sheet;
      sheet.message = QStringLiteral("自动登录失败");
      sheet.info = q(error.description);
      sheet.buttons = {QStringLiteral("确定")};
      sheet.done = [this, alive](long) {
        if (alive.lock()) switchLogin();
      };
      ctx_.sheets->show(this, std::move(sheet));
      return;
    }
    const auto* code = reply->is_object() && reply->contains("code") ? &(*reply)["code"] : nullptr;
    if (code && code->is_number() && code->get<long long>() == 107) {
      std::string info;
      if (reply->contains("info") && (*reply)["info"].is_string()) info = (*reply)["info"];
      LegacySheet sheet;
      sheet.message = QStringLiteral("自动登录失败");
      sheet.info = q(info);
      sheet.buttons = {QStringLiteral("确定")};
      sheet.done = [this, alive](long) {
        if (alive.lock()) close();
      };
      ctx_.sheets->show(this, std::move(sheet));
      return;
    }
    TsParamsDirectory::setNSDictionaryValue("login_data", *reply);
    switchMain();
  });
}

void WelcomeWindow::switchLogin() {
  loginWindow_.reset(ctx_.screens->olderLogin.make(ctx_));
  showCentred(loginWindow_.get(), this);
  hide();
}

void WelcomeWindow::switchMain() {
  auto token = LegacyWelcome::tokenOf(TsParamsDirectory::getNSDictionaryValue("login_data"));
  TsParamsDirectory::setValue("login_token", token.value_or(""));
  LOG::console("token = (kept)");
  mainWin_.reset(ctx_.screens->olderMain.make(ctx_));
  showCentred(mainWin_.get(), this);
  hide();
}

}  // namespace gelmora::ui
