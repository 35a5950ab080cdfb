#include "ui/Sections/Login/TsPhoneBindFlow.h"

#include <QEvent>

#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/L10n.h"

using namespace gelmora::ui;

namespace {
constexpr const char* kCodeType = "BIND_NEW_PHONE";
}

TsPhoneBindFlow::TsPhoneBindFlow(QWidget* host, Collaborators c)
    : QObject(host),
      host_(host),
      user_(c.user ? c.user : &app().user()),
      provider_(c.provider),
      finish_(std::move(c.finish)) {
  TsLoginViewModel::Collaborators mc;
  mc.user = user_;
  mc.defaults = c.defaults;
  mc.ticker = std::move(c.ticker);
  mc.updateLinkedSNSInfo = std::move(c.updateLinkedSNSInfo);
  bindModel_ = TsLoginViewModel::create(std::move(mc));
  if (!finish_) {
    TsUserController* user = user_;
    finish_ = [user] {
      user->setOnline(true);
      user->fetchFeedbackList();
    };
  }
  host_->installEventFilter(this);
  observe(this, TsUserPhoneBindNotification, [this](const auto&) { showBindPanel(); });
  observe(this, TsUserBindPhoneSuccessNotification, [this](const auto&) { showBoundNotice(); });
}

TsPhoneBindFlow::~TsPhoneBindFlow() = default;

TsPhoneBindView* TsPhoneBindFlow::bindView() {
  if (bindView_) return bindView_;
  auto* panel = new TsPhoneBindView(host_, provider_);
  panel->hide();
  bindView_ = panel;
  centre(panel, 600, 500);
  panel->setSkipBlock([this] { complete(bindView_); });

  TsLoginViewModel& m = *bindModel_;
  bindText(panel->phoneTextField()->textField(),
           [&m](const std::string& t) { m.userName.setValue(t); });
  bindText(panel->codeTextField()->textField(),
           [&m](const std::string& t) { m.quickAuthCode.setValue(t); });
  // The dial code follows the label, whether chosen or written from code.
  QLineEdit* dial = panel->phoneTextField()->countryCodeLabel();
  m.countryCode.setValue(dial->text().toStdString());
  connect(dial, &QLineEdit::textChanged, this,
          [&m](const QString& t) { m.countryCode.setValue(t.toStdString()); });

  DRFlatButton* code = panel->codeTextField()->codeBtn();
  DRFlatButton* voice = panel->codeTextField()->voiceCodeBtn();
  bindTitle(code, m.codeButtonTitle.signal());
  bindCommand(code, m.codeCommandWithType(kCodeType));
  bindTitle(voice, m.voiceCodeButtonTitle.changes());
  bindCommand(voice, m.voiceCodeCommandWithType(kCodeType));
  bindCommand(panel->confirmButton(), m.bindPhoneCommand());
  QPointer<DRFlatButton> voiceGuard(voice);
  bindValue<bool>(voice, m.showVoice.signal(), [voiceGuard](const bool& on) {
    if (!voiceGuard) return;
    voiceGuard->setTitle(L10n::text("语音验证码"));
    voiceGuard->setVisible(on);
  });
  QPointer<DRFlatButton> skip(panel->skipButton());
  bindValue<int64_t>(panel, m.clickNum.signal(), [skip](const int64_t& n) {
    if (skip) skip->setVisible(n >= 3);
  });
  return panel;
}

NSPhoneBindSuccessView* TsPhoneBindFlow::bindsuccessView() {
  if (bindsuccessView_) return bindsuccessView_;
  if (bindView_) bindView_->hide();
  auto* notice = new NSPhoneBindSuccessView(host_, user_);
  notice->hide();
  bindsuccessView_ = notice;
  centre(notice, 400, 500);
  notice->setConfirmBlock([this] { complete(bindsuccessView_); });
  notice->setSkipBlock([this] { complete(bindsuccessView_); });
  return notice;
}

void TsPhoneBindFlow::showBindPanel() {
  TsPhoneBindView* panel = bindView();
  panel->show();
  panel->raise();
}

void TsPhoneBindFlow::showBoundNotice() {
  bindView()->hide();
  NSPhoneBindSuccessView* notice = bindsuccessView();
  notice->setPhone(QString::fromStdString(bindModel_->userName.value()));
  notice->show();
  notice->raise();
}

void TsPhoneBindFlow::complete(QWidget* panel) {
  if (panel) panel->hide();
  // The finish action may end the host (the root swaps screens): run it last.
  auto finish = finish_;
  finish();
}

void TsPhoneBindFlow::centre(QWidget* panel, int width, int height) {
  panel->setGeometry((host_->width() - width) / 2, (host_->height() - height) / 2, width, height);
}

bool TsPhoneBindFlow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == host_ && event->type() == QEvent::Resize) {
    if (bindView_) centre(bindView_, 600, 500);
    if (bindsuccessView_) centre(bindsuccessView_, 400, 500);
  }
  return QObject::eventFilter(watched, event);
}
