#include "ui/Legacy/LoginWindow.h"

#include <QGridLayout>
#include <QVBoxLayout>

#include "gelmora/Legacy/LegacyLoginRules.h"
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
std::atomic<int> gVerificationTimes{0};

std::string storedText(const char* key) {
  auto v = TsParamsDirectory::getValue(key);
  if (v && std::holds_alternative<std::string>(*v)) return std::get<std::string>(*v);
  return {};
}

QString q(const std::string& s) { return QString::fromStdString(s); }
std::string s(const QString& t) { return t.toStdString(); }
}  // namespace

int LoginWindow::getVerificationTimes() { return gVerificationTimes; }
void LoginWindow::resetVerificationTimes() { gVerificationTimes = 0; }

LoginWindow::LoginWindow(const LegacyContext& context, QWidget* parent)
    : QWidget(parent, Qt::Window),
      ctx_(context.resolved()),
      worker_(std::make_shared<dispatch::SerialQueue>("older-login")) {
  setObjectName("LoginWindow");
  setWindowTitle(QStringLiteral("登录"));
  setStyleSheet(
      "QWidget#LoginWindow { background: #171a29; }"
      "QLabel { color: #e8eaf2; font-size: 13px; }"
      "QLabel#loginlogo { font-size: 24px; font-weight: bold; color: #ffffff; }"
      "QLineEdit { background: #262a40; color: #ffffff; border: 1px solid #3b4160;"
      " border-radius: 6px; padding: 7px; font-size: 14px; }"
      "QPushButton { color: #ffffff; background: #262a40; border: 1px solid #3b4160;"
      " border-radius: 6px; padding: 7px 12px; font-size: 13px; }"
      "QPushButton[role=\"login\"] { background: qlineargradient(x1:0,y1:0,x2:1,y2:0,"
      " stop:0 #3d8bfd, stop:1 #9b3dd9); border: none; font-size: 15px; }"
      "QPushButton[role=\"login\"]:disabled { background: #3b4160; }"
      "QPushButton#btnImageVerfication { font-family: monospace; font-size: 18px;"
      " letter-spacing: 3px; background: #e8eaf2; color: #1f2233; }");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(40, 30, 40, 30);
  auto* logo = new QLabel(QStringLiteral("手机号登录"), this);
  logo->setObjectName("loginlogo");
  logo->setAlignment(Qt::AlignCenter);
  layout->addWidget(logo);
  layout->addSpacing(16);
  tabs_ = new QStackedWidget(this);
  tabs_->setObjectName("tableLoginType");
  QWidget* page1 = buildForm(form1_, false);
  page1->setObjectName("boxNormal");
  QWidget* page2 = buildForm(form2_, true);
  page2->setObjectName("boxVerification");
  tabs_->addWidget(page1);
  tabs_->addWidget(page2);
  layout->addWidget(tabs_);
  resize(400, 460);

  // Opening: the stored values into form 1.
  form1_.countryCode->setText(q(storedText("country_code")));
  form1_.phone->setText(q(storedText("phone")));
  loginType_ = 1;
  if (gVerificationTimes >= 3) changeLoginType();
}

LoginWindow::~LoginWindow() {
  alive_.reset();
  phoneVerificationTimer_.cancel();
  worker_->shutdown();
}

QWidget* LoginWindow::buildForm(Form& f, bool withPicture) {
  const char* p = withPicture ? "B_" : "";
  auto name = [p](const char* n) { return QString(p) + n; };
  auto* page = new QWidget(tabs_);
  auto* grid = new QGridLayout(page);
  grid->setVerticalSpacing(12);
  f.countryCode = new QLineEdit(page);
  f.countryCode->setObjectName(name("labelCountrycode"));
  f.countryCode->setFixedWidth(70);
  f.phone = new QLineEdit(page);
  f.phone->setObjectName(name("labelPhoneNumber"));
  f.phone->setPlaceholderText(QStringLiteral("请输入手机号"));
  grid->addWidget(f.countryCode, 0, 0);
  grid->addWidget(f.phone, 0, 1, 1, 2);
  int row = 1;
  if (withPicture) {
    pictureEntry_ = new QLineEdit(page);
    pictureEntry_->setObjectName("labelImageVerification");
    pictureEntry_->setPlaceholderText(QStringLiteral("请输入图形验证码"));
    pictureButton_ = new QPushButton(page);
    pictureButton_->setObjectName("btnImageVerfication");
    connect(pictureButton_, &QPushButton::clicked, this, [this] { clickChangeVerification(); });
    grid->addWidget(pictureEntry_, row, 0, 1, 2);
    grid->addWidget(pictureButton_, row, 2);
    ++row;
  }
  f.verification = new QLineEdit(page);
  f.verification->setObjectName(name("labelVerification"));
  f.verification->setPlaceholderText(QStringLiteral("请输入验证码"));
  grid->addWidget(f.verification, row, 0, 1, 2);
  auto* normal = new QWidget(page);
  normal->setObjectName(name("boxNormalVerification"));
  auto* nl = new QVBoxLayout(normal);
  nl->setContentsMargins(0, 0, 0, 0);
  f.codeButton = new QPushButton(QStringLiteral("获取验证码"), normal);
  f.codeButton->setObjectName(name("btnGetVerification"));
  connect(f.codeButton, &QPushButton::clicked, this, [this] { OnGetVerificationClick(); });
  nl->addWidget(f.codeButton);
  auto* disabled = new QWidget(page);
  disabled->setObjectName(name("boxDisableVerification"));
  auto* dl = new QVBoxLayout(disabled);
  dl->setContentsMargins(0, 0, 0, 0);
  f.countdown = new QLabel(disabled);
  f.countdown->setObjectName(name("labelGetVerification"));
  f.countdown->setAlignment(Qt::AlignCenter);
  dl->addWidget(f.countdown);
  disabled->hide();
  f.normalBox = normal;
  f.disableBox = disabled;
  grid->addWidget(normal, row, 2);
  grid->addWidget(disabled, row, 2);
  ++row;
  f.loginButton = new QPushButton(page);
  f.loginButton->setObjectName(name("btnLogin"));
  f.loginButton->setProperty("role", "login");
  f.loginButton->setMinimumHeight(44);
  auto* inner = new QVBoxLayout(f.loginButton);
  inner->setContentsMargins(0, 0, 0, 0);
  f.login = new QLabel(QStringLiteral("注册 / 登录"), f.loginButton);
  f.login->setObjectName(name("labelLogin"));
  f.login->setAlignment(Qt::AlignCenter);
  f.login->setAttribute(Qt::WA_TransparentForMouseEvents);
  inner->addWidget(f.login);
  connect(f.loginButton, &QPushButton::clicked, this, [this] { OnLoginClick(); });
  grid->addWidget(f.loginButton, row, 0, 1, 3);
  grid->setRowStretch(row + 1, 1);
  return page;
}

QString LoginWindow::pictureCode() const { return pictureButton_->text(); }

bool LoginWindow::countdownRunning() const {
  return phoneVerificationTimer_.isValid() && !phoneVerificationTimer_.isCancelled();
}

void LoginWindow::changeLoginType() {
  loginType_ = 2;
  form2_.countryCode->setText(form1_.countryCode->text());
  form2_.phone->setText(form1_.phone->text());
  form2_.verification->setText(form1_.verification->text());
  tabs_->setCurrentWidget(findChild<QWidget*>("boxVerification"));
  changeVerification();
}

void LoginWindow::changeVerification() {
  pictureButton_->setText(q(LegacyLoginRules::pictureCode(ctx_.random)));
}

void LoginWindow::alert(const QString& message, const QString& info, std::function<void()> closed) {
  LegacySheet sheet;
  sheet.message = message;
  sheet.info = info;
  sheet.buttons = {QStringLiteral("确定")};
  if (closed) sheet.done = [closed](long) { closed(); };
  ctx_.sheets->show(this, std::move(sheet));
}

void LoginWindow::OnGetVerificationClick() {
  Form& f = form();
  LegacyLoginForm values{s(f.countryCode->text()), s(f.phone->text()), s(f.verification->text()),
                         pictureEntry_ ? s(pictureEntry_->text()) : std::string()};
  auto check =
      LegacyLoginRules::checkCodeRequest(values, loginType_, gVerificationTimes, s(pictureCode()));
  if (check.kind == LegacyLoginRules::CodeRequest::SwitchToForm2) {
    changeLoginType();
    return;
  }
  if (check.kind == LegacyLoginRules::CodeRequest::Fail) {
    alert(q(check.failure.message), q(check.failure.info));
    if (check.failure.newPicture) changeVerification();
    return;
  }
  // The request blocks: on the worker, with the control disabled meanwhile.
  f.codeButton->setEnabled(false);
  LegacyServices* services = ctx_.services;
  std::weak_ptr<bool> alive = alive_;
  worker_->async([this, alive, services, phone = values.phone, cc = values.countryCode] {
    TQError error;
    bool ok = services->Verification(phone, cc, &error);
    dispatch::postToMain([this, alive, ok, error] {
      if (!alive.lock()) return;
      Form& f = form();
      f.codeButton->setEnabled(true);
      if (!ok) {
        bool hasError = error.code != 0 || !error.description.empty() || !error.domain.empty();
        auto failure = LegacyLoginRules::codeRequestFailed(
            hasError ? std::optional<std::string>(error.description) : std::nullopt);
        alert(q(failure.message), q(failure.info));
        return;
      }
      lastTimeOfGetVerification_ = 59;
      f.countdown->setText(QStringLiteral("60s"));
      f.normalBox->hide();
      f.disableBox->show();
      phoneVerificationTimer_.cancel();
      phoneVerificationTimer_ = dispatch::repeating(
          1s, dispatch::mainQueue(),
          [this, alive] {
            if (alive.lock()) tick();
          },
          {}, ctx_.clock);
      ++gVerificationTimes;
    });
  });
}

void LoginWindow::tick() {
  if (lastTimeOfGetVerification_ > 0) {
    form().countdown->setText(QString("%1s").arg(lastTimeOfGetVerification_));
    --lastTimeOfGetVerification_;
  } else {
    stopVerificationTimer();
  }
}

void LoginWindow::stopVerificationTimer() {
  phoneVerificationTimer_.cancel();
  form().normalBox->show();
  form().disableBox->hide();
}

void LoginWindow::ButtonLoginClick() {
  form().login->setText(QStringLiteral("正 在 登 录 ..."));
  LOG::console("ButtonLoginClick ...");
}

void LoginWindow::OnLoginClick() {
  Form& f = form();
  LegacyLoginForm values{s(f.countryCode->text()), s(f.phone->text()), s(f.verification->text()),
                         pictureEntry_ ? s(pictureEntry_->text()) : std::string()};
  if (auto failure = LegacyLoginRules::checkSignIn(values, loginType_, s(pictureCode()))) {
    alert(q(failure->message), q(failure->info));
    if (failure->newPicture) changeVerification();
    return;
  }
  f.loginButton->setEnabled(false);
  f.login->setText(QStringLiteral("正 在 登 录 ..."));
  LoginAction(values.phone, values.countryCode, values.smsCode);
}

void LoginWindow::LoginAction(std::string phone, std::string countryCode, std::string code) {
  LegacyServices* services = ctx_.services;
  std::weak_ptr<bool> alive = alive_;
  worker_->async([this, alive, services, phone, countryCode, code] {
    TQError error;
    auto reply = services->loginWithVerification(phone, countryCode, code, &error);
    dispatch::postToMain([this, alive, reply, error, phone, countryCode] {
      if (!alive.lock()) return;
      Form& f = form();
      if (!reply) {
        f.loginButton->setEnabled(true);
        f.login->setText(QStringLiteral("注册 / 登录"));
        alert(QStringLiteral("登录失败"), q(error.description));
        return;
      }
      long long replyCode = 0;
      if (reply->is_object() && reply->contains("code") && (*reply)["code"].is_number()) {
        replyCode = (*reply)["code"].get<long long>();
      }
      if (replyCode == 107) {
        std::string info;
        if (reply->contains("info") && (*reply)["info"].is_string()) info = (*reply)["info"];
        std::weak_ptr<bool> still = alive_;
        alert(QStringLiteral("登录失败"), q(info), [this, still] {
          if (still.lock()) close();
        });
        return;
      }
      f.loginButton->setEnabled(true);
      f.login->setText(QStringLiteral("注册 / 登录"));
      TsParamsDirectory::setValue("phone", phone);
      TsParamsDirectory::setValue("country_code", countryCode);
      TsParamsDirectory::setNSDictionaryValue("login_data", *reply);
      stopVerificationTimer();
      ShowMainWindow();
    });
  });
}

void LoginWindow::ShowMainWindow() {
  auto token = LegacyWelcome::tokenOf(TsParamsDirectory::getNSDictionaryValue("login_data"));
  TsParamsDirectory::setValue("login_token", token.value_or(""));
  mainWin_.reset(ctx_.screens->olderMain.make(ctx_));
  if (mainWin_) {
    mainWin_->show();
    mainWin_->raise();
  }
  hide();
}

}  // namespace gelmora::ui
