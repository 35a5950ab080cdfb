#include "ui/Sections/Login-Oxla/OXLoginViewController.h"

#include <QPointer>

#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "ui/Application/QtAlertSheetPresenter.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/L10n.h"

using gelmora::ui::OXLoginViewModel;
using platform::reactive::Unit;

namespace {

struct Provider {
  int tag;
  const char* word;  // also the login type
};
// Tags 100.. in the order of the buttons; each login type holds the provider word.
constexpr Provider kProviders[] = {{100, TsUserLoginTypeWeChat},    {101, TsUserLoginTypeFacebook},
                                   {102, TsUserLoginTypeInstagram}, {103, TsUserLoginTypeGoogle},
                                   {104, TsUserLoginTypeTwitter},   {105, TsUserLoginTypeQQ},
                                   {106, TsUserLoginTypeLine},      {107, TsUserLoginTypeKakao}};

}  // namespace

OXLoginViewController::OXLoginViewController(QWidget* parent)
    : OXLoginViewController(Collaborators{}, parent) {}

OXLoginViewController::OXLoginViewController(Collaborators c, QWidget* parent)
    : QWidget(parent),
      user_(c.user ? c.user : &app().user()),
      analytics_(c.analytics ? c.analytics : &app().analytics()),
      presenter_(c.presenter),
      screens_(c.screens ? c.screens : &gelmora::ui::ScreenRegistry::shared()),
      webDomain_(c.webDomain) {
  if (!presenter_) {
    ownPresenter_ = std::make_unique<gelmora::ui::QtAlertSheetPresenter>();
    presenter_ = ownPresenter_.get();
  }
  if (!webDomain_) {
    webDomain_ = [] {
      auto env = app().env();
      return env ? env->WebDomain() : std::string();
    };
  }
  view_ = new OXLoginView(this);
  OXLoginViewModel::Collaborators mc;
  mc.user = user_;
  mc.analytics = analytics_;
  mc.ticker = std::move(c.ticker);
  viewModel_ = OXLoginViewModel::create(std::move(mc));

  OXEmailLoginView* form = view_->emailLoginView();
  QAbstractButton* buttons[] = {form->wechatLoginButton(), form->facebookLoginButton(),
                                form->insLoginButton(),    form->ggLoginButton(),
                                form->ttLoginButton(),     form->qqLoginButton(),
                                form->lineLoginButton(),   form->kakaoLoginButton()};
  for (size_t i = 0; i < std::size(buttons); ++i) {
    const int tag = kProviders[i].tag;
    buttons[i]->setProperty("tag", tag);
    connect(buttons[i], &QAbstractButton::clicked, this, [this, tag] { thirdLogin(tag); });
  }
  AppUserDefaults& defaults = c.defaults ? *c.defaults : app().defaults();
  // A sign-in that needs a bound phone posts TsUserPhoneBindNotification while this screen shows.
  TsPhoneBindFlow::Collaborators bc;
  bc.user = user_;
  bc.defaults = &defaults;
  bc.ticker = std::move(c.bindTicker);
  bc.provider = c.countryCodes;
  phoneBind_ = new TsPhoneBindFlow(this, std::move(bc));
  form->emailField()->textField()->setText(
      QString::fromStdString(defaults.lastLoginUser().value_or("")));
  bindModel();

  gelmora::ui::observe(this, TsUserRegisterSuccessNotification,
                       [this](const auto&) { onRegistered(); });
  gelmora::ui::observe(this, TsUserResetPasswordNotification,
                       [this](const auto&) { onPasswordReset(); });
}

OXLoginViewController::~OXLoginViewController() = default;

void OXLoginViewController::bindModel() {
  using gelmora::ui::bindCommand;
  using gelmora::ui::bindText;
  using gelmora::ui::bindTitle;
  OXLoginViewModel& m = *viewModel_;
  OXEmailLoginView* form = view_->emailLoginView();
  OXEmailResetPassView* reset = view_->emailResetView();
  bindText(form->emailField()->textField(), [&m](const std::string& t) { m.email.setValue(t); });
  bindText(form->passwordField()->textField(),
           [&m](const std::string& t) { m.password.setValue(t); });
  bindText(form->codeTF()->textField(), [&m](const std::string& t) { m.code.setValue(t); });
  loginCommand_ = m.loginCommand();
  bindCommand(form->loginButton(), loginCommand_);
  bindCommand(form->signupButton(), m.signupCommand());
  bindCommand(form->codeTF()->codeBtn(), m.registerCodeCommand());
  bindText(reset->emailField()->textField(),
           [&m](const std::string& t) { m.resetEmail.setValue(t); });
  bindText(reset->passwordField()->textField(),
           [&m](const std::string& t) { m.resetPassword.setValue(t); });
  bindText(reset->codeTF()->textField(), [&m](const std::string& t) { m.resetCode.setValue(t); });
  bindCommand(reset->resetButton(), m.resetCommand());
  bindCommand(reset->codeTF()->codeBtn(), m.resetCodeCommand());
  bindTitle(form->codeTF()->codeBtn(), m.codeButtonTitle.signal());
  bindTitle(reset->codeTF()->codeBtn(), m.codeButtonTitle.signal());
  // A tab switch by the user empties the inputs; what they held must not sign in or sign up.
  connect(form, &OXEmailLoginView::loginTypeToggled, this, [&m] {
    m.email.setValue(std::string());
    m.password.setValue(std::string());
    m.code.setValue(std::string());
  });
}

void OXLoginViewController::onRegistered() {
  // The model still holds the address and password of the sign-up: sign in with them now.
  view_->emailLoginView()->toggleLogin(true);
  loginCommand_->execute(Unit{});
}

void OXLoginViewController::onPasswordReset() {
  QPointer<OXLoginViewController> guard(this);
  presenter_->showSheet(std::nullopt, gelmora::ui::L10n::text("passwordreset_hint").toStdString(),
                        [guard](long) {
                          if (!guard) return;
                          guard->view_->switchToView(guard->view_->emailLoginView());
                          guard->view_->emailLoginView()->toggleLogin(true);
                        });
}

void OXLoginViewController::thirdLogin(int tag) {
  const Provider* provider = nullptr;
  for (const auto& p : kProviders)
    if (p.tag == tag) provider = &p;
  if (!provider) return;
  user_->setLoginType(provider->word);
  gelmora::ui::OutsideAccountRequest request;
  request.url = "http://" + webDomain_() +
                "/auth/third-account-login-for-mac?third_account_provider=" + provider->word;
  screens_->outsideAccountPage.make(request, this);
}

void OXLoginViewController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (appeared_) return;
  appeared_ = true;
  analytics_->loginPage();
}

void OXLoginViewController::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  view_->setGeometry(rect());
}

void gelmora::ui::registerLoginScreen(ScreenRegistry& registry) {
  registry.login.set([](QWidget* parent) -> QWidget* { return new OXLoginViewController(parent); });
}
