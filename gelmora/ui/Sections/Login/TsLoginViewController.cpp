#include "ui/Sections/Login/TsLoginViewController.h"

#include <QPointer>

#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Shared/Tessaryn.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/L10n.h"
#include "ui/Sections/Login/TsPanelStyle.h"
#include "ui/Sections/Login/TsVerifyCodeViewModel.h"

using gelmora::ui::TsLoginViewModel;
using platform::reactive::Unit;

namespace {

struct Provider {
  int tag;
  const char* word;  // the provider's name in the address, also the login type
};
constexpr Provider kProviders[] = {{100, TsUserLoginTypeWeChat},    {101, TsUserLoginTypeFacebook},
                                   {102, TsUserLoginTypeInstagram}, {103, TsUserLoginTypeGoogle},
                                   {104, TsUserLoginTypeTwitter},   {105, TsUserLoginTypeQQ},
                                   {106, TsUserLoginTypeLine},      {107, TsUserLoginTypeKakao}};

}  // namespace

TsLoginViewController::TsLoginViewController(QWidget* parent)
    : TsLoginViewController(Collaborators{}, parent) {}

TsLoginViewController::TsLoginViewController(Collaborators c, QWidget* parent)
    : QWidget(parent),
      user_(c.user ? c.user : &app().user()),
      defaults_(c.defaults ? c.defaults : &app().defaults()),
      screens_(c.screens ? c.screens : &gelmora::ui::ScreenRegistry::shared()),
      verify_(c.verify ? c.verify : &app().verify()),
      webDomain_(c.webDomain ? *c.webDomain : gelmora::ui::TsPanelStyle::brandWebDomain()),
      opener_(c.opener) {
  TsLoginView::Options options;
  options.webDomain = webDomain_;
  options.opener = opener_;
  options.countryCodes = c.countryCodes;
  view_ = new TsLoginView(options, this);

  TsLoginViewModel::Collaborators mc;
  mc.user = user_;
  mc.defaults = defaults_;
  mc.ticker = std::move(c.ticker);
  model_ = TsLoginViewModel::create(std::move(mc));
  TsPhoneBindFlow::Collaborators bc;
  bc.user = user_;
  bc.defaults = defaults_;
  bc.ticker = std::move(c.bindTicker);
  bc.provider = c.countryCodes;
  flow_ = new TsPhoneBindFlow(this, std::move(bc));

  restoreLastLogin();
  setLoginCommand(model_->quickLoginCommand());
  // The bind panel is made (and bound) now, hidden.
  flow_->bindView();
  bindForm();

  TsLoginView* form = view_;
  connect(form->userNameField()->textField(), &QLineEdit::returnPressed, this,
          [this] { userNameFieldAction(); });
  connect(form->passwordField()->textField(), &QLineEdit::returnPressed, this,
          [this] { passwordFieldAction(); });
  connect(form->closeButton(), &QAbstractButton::clicked, this, [this] { closeButtonClicked(); });
  connect(form->autoLoginButton(), &QAbstractButton::clicked, this,
          [this] { autoLoginButtonClicked(); });
  QAbstractButton* buttons[] = {form->wechatLoginButton(), form->facebookLoginButton(),
                                form->insLoginButton(),    form->ggLoginButton(),
                                form->ttLoginButton(),     form->qqLoginButton()};
  for (int i = 0; i < 6; ++i) {
    const int tag = 100 + i;
    buttons[i]->setProperty("tag", tag);
    connect(buttons[i], &QAbstractButton::clicked, this, [this, tag] { thirdLogin(tag); });
  }
}

TsLoginViewController::~TsLoginViewController() { loginEnabling_.dispose(); }

void TsLoginViewController::restoreLastLogin() {
  TsLoginView* form = view_;
  if (!defaults_->autoLogin()) {
    form->autoLoginButton()->setChecked(false);
    return;
  }
  form->autoLoginButton()->setChecked(true);
  const std::string last = defaults_->lastLoginUser().value_or("");
  if (Tessaryn::isValidatePhone(last)) {
    form->toggleEmailLogin(false);
    form->userNameField()->textField()->setText(QString::fromStdString(last));
    if (auto code = defaults_->lastLoginCountryCode())
      form->userNameField()->countryCodeLabel()->setText(QString::fromStdString(*code));
  } else if (Tessaryn::isValidateEmail(last)) {
    // An e-mail sign-in is made on the password tab: show it there with the address filled in.
    form->toggleLoginType(form->pwdLoginBtn());
    form->toggleEmailLogin(true);
    form->emailField()->textField()->setText(QString::fromStdString(last));
  }
}

void TsLoginViewController::bindForm() {
  using gelmora::ui::bindCommand;
  using gelmora::ui::bindText;
  using gelmora::ui::bindTitle;
  using gelmora::ui::bindValue;
  TsLoginViewModel& m = *model_;
  TsLoginView* form = view_;
  bindText(form->userNameField()->textField(),
           [&m](const std::string& t) { m.userName.setValue(t); });
  bindText(form->emailField()->textField(), [&m](const std::string& t) { m.email.setValue(t); });
  bindText(form->passwordField()->textField(),
           [&m](const std::string& t) { m.password.setValue(t); });
  bindText(form->codeTF()->textField(),
           [&m](const std::string& t) { m.quickAuthCode.setValue(t); });

  DRFlatButton* code = form->codeTF()->codeBtn();
  DRFlatButton* voice = form->codeTF()->voiceCodeBtn();
  bindTitle(code, m.codeButtonTitle.signal());
  bindCommand(code, m.codeCommandWithType("LOGIN"));
  bindTitle(voice, m.voiceCodeButtonTitle.changes());
  bindCommand(voice, m.voiceCodeCommandWithType("LOGIN"));
  QPointer<DRFlatButton> voiceGuard(voice);
  bindValue<bool>(voice, m.showVoice.signal(), [voiceGuard](const bool& on) {
    if (!voiceGuard) return;
    voiceGuard->setTitle(gelmora::ui::L10n::text("语音验证码"));
    voiceGuard->setVisible(on);
  });

  // The sign-in command follows the tab; the tab and field switches empty the e-mail value.
  auto onMode = [this, &m](bool phone) {
    if (phone) {
      setLoginCommand(m.quickLoginCommand());
      m.email.setValue(std::string());
    } else {
      setLoginCommand(m.loginCommand());
    }
  };
  onMode(form->isPhoneLogin());
  connect(form, &TsLoginView::isPhoneLoginChanged, this, onMode);
  if (!form->emailLogin()) m.email.setValue(std::string());
  connect(form, &TsLoginView::emailLoginChanged, this, [&m](bool emailLogin) {
    if (!emailLogin) m.email.setValue(std::string());
  });
  QLineEdit* dial = form->userNameField()->countryCodeLabel();
  m.countryCode.setValue(dial->text().toStdString());
  connect(dial, &QLineEdit::textChanged, this,
          [&m](const QString& t) { m.countryCode.setValue(t.toStdString()); });
  connect(form->loginButton(), &QAbstractButton::clicked, this, [this] {
    if (loginCommand_) loginCommand_->execute(Unit{});
  });
}

void TsLoginViewController::setLoginCommand(TsLoginViewModel::CommandPtr<JVX_USER_INFO> command) {
  loginEnabling_.dispose();
  loginCommand_ = std::move(command);
  QPointer<TsFlatButton> button(view_->loginButton());
  loginEnabling_ = loginCommand_->enabled().subscribeNext([button](const bool& on) {
    if (button) button->setEnabled(on);
  });
}

void TsLoginViewController::userNameFieldAction() {
  view_->passwordField()->textField()->setFocus();
}

void TsLoginViewController::passwordFieldAction() {
  if (loginCommand_) loginCommand_->execute(Unit{});
}

void TsLoginViewController::closeButtonClicked() {
  if (QWidget* w = window()) w->close();
}

void TsLoginViewController::autoLoginButtonClicked() {
  defaults_->setAutoLogin(view_->autoLoginButton()->isChecked());
  if (defaults_->autoLogin()) return;
  // The keychain item is named by the stored login: delete it before the login values.
  user_->clearPassword();
  defaults_->setLastLoginUser(std::nullopt);
  defaults_->setLastLoginCountryCode(std::nullopt);
}

void TsLoginViewController::thirdLogin(int tag) {
  const Provider* provider = nullptr;
  for (const auto& p : kProviders)
    if (p.tag == tag) provider = &p;
  if (!provider) return;
  user_->setLoginType(provider->word);
  gelmora::ui::OutsideAccountRequest request;
  request.url = "http://" + webDomain_ +
                "/auth/third-account-login-for-mac?third_account_provider=" + provider->word;
  screens_->outsideAccountPage.make(request, this);
}

void TsLoginViewController::firstLoginAuth() {
  if (authView_) return;
  authView_ = new TsFirstLoginAuthView(this, webDomain_, opener_);
  authView_->setGeometry(rect());
  connect(authView_->closeButton(), &QAbstractButton::clicked, this,
          [this] { closeButtonClicked(); });
  std::string phone;
  if (const auto& session = user_->session(); session && session->userInfo)
    phone = session->userInfo->phone_number.value_or("");
  authView_->setPhoneNumber(QString::fromStdString(phone));
  authView_->show();
  authView_->raise();

  gelmora::ui::TsVerifyCodeViewModel& v = *verify_;
  v.phone.setValue(model_->userName.value());
  v.countryCode.setValue(model_->countryCode.value());
  v.type.setValue("FIRST_LOGIN");
  authView_->updateLastSecond(60);
  QPointer<TsFirstLoginAuthView> panel(authView_);
  gelmora::ui::keepUntilDestroyed(
      authView_, v.fetchCode().subscribe({[](const nlohmann::json&) {},
                                          [panel](const platform::reactive::Error&) {
                                            if (panel) panel->updateLastSecond(0);
                                          },
                                          [] {}}));
  gelmora::ui::bindValue<int64_t>(authView_, v.lastSecond.changes(), [panel](const int64_t& n) {
    if (panel) panel->updateLastSecond(long(n));
  });
  gelmora::ui::bindCommand(authView_->codeButton(), v.fetchCommand());
  TsUserController* user = user_;
  QPointer<TsLoginTextField> codeField(authView_->codeField());
  auto login = std::make_shared<platform::reactive::Command<Unit, JVX_RESP_USER_FIRST_LOGIN>>(
      [user, codeField](const Unit&) {
        return user->verifyFirstLoginCode(codeField ? codeField->textField()->text().toStdString()
                                                    : std::string());
      });
  gelmora::ui::bindCommand(authView_->loginButton(), login);
}

void TsLoginViewController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  bool iap = user_->enableIAP();
  if (const auto& session = user_->session(); session && session->userInfo) {
    const auto& mode = session->userInfo->iap_mode;
    iap = iap || (mode && mode->intValue() == 1);
  }
  view_->thirdLoginContainerView()->setVisible(!iap);
  view_->userNameField()->textField()->setFocus();
}

void TsLoginViewController::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  view_->setGeometry(rect());
  if (authView_) authView_->setGeometry(rect());
}
