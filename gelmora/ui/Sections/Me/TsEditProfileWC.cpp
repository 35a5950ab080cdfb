#include "ui/Sections/Me/TsEditProfileWC.h"

#include <QScrollBar>
#include <any>

#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Me/TsUserBindViewModel.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/TsTextField.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Login-Oxla/OXBindEmailView.h"
#include "ui/Sections/Login-Oxla/OXLoginViewModel.h"
#include "ui/Sections/Login/NSPhoneBindSuccessView.h"
#include "ui/Sections/Login/TsLoginCodeTF.h"
#include "ui/Sections/Login/TsLoginViewModel.h"
#include "ui/Sections/Login/TsPhoneBindView.h"
#include "ui/Sections/Login/TsPhoneTextField.h"
#include "ui/Sections/Me/TsBindResultView.h"
#include "ui/Sections/Me/TsPreCodeView.h"

using gelmora::ui::setTextValue;
using gelmora::ui::L10n::text;

namespace {

constexpr int kContentWidth = 800;
constexpr int kContentHeight = 600;
const QColor kRow(42, 38, 66);

struct SocialRow {
  int cellTag;
  bool TsUserBindViewModel::*bound;
  const char* provider;
};
// Cell tags 3-10: the row's flag and the provider key sent to the service and the page.
const SocialRow kSocialRows[] = {
    {3, &TsUserBindViewModel::wechatBound, "wechat"},
    {4, &TsUserBindViewModel::facebookBound, "facebook"},
    {5, &TsUserBindViewModel::insBound, "instagram"},
    {6, &TsUserBindViewModel::googleBound, "google"},
    {7, &TsUserBindViewModel::twitterBound, "twitter"},
    {8, &TsUserBindViewModel::qqBound, "qq"},
    {9, &TsUserBindViewModel::lineBound, "line"},
    {10, &TsUserBindViewModel::kakaoBound, "kakao"},
};

}  // namespace

TsEditProfileWC::TsEditProfileWC(Dependencies dependencies, QWidget* parent)
    : QWidget(parent, Qt::Window), deps_(std::move(dependencies)) {
  deps_.alerts = gelmora::ui::withQtMeAlerts(std::move(deps_.alerts));
  setObjectName("TsEditProfileWC");
  setWindowTitle(text("personal_title"));
  const auto& style = TsStyleSheet::sharedInstance();
  resize(kContentWidth, kContentHeight);
  content_ = new QWidget(this);
  content_->setObjectName("contentView");
  bgView = new QWidget(content_);
  bgView->setObjectName("bgView");

  // Section titles, tags 100-105.
  const struct {
    int tag;
    int x, y;
    int size;
  } titles[] = {{100, 40, 24, 21},  {101, 40, 70, 15},  {102, 40, 100, 13},
                {103, 40, 168, 13}, {104, 40, 236, 15}, {105, 40, 266, 13}};
  for (const auto& t : titles) {
    auto* label = gelmora::ui::makeMeLabel(
        content_, "", t.size, t.tag == 100 ? QColor(255, 255, 255) : style.darkWhite());
    label->setObjectName(QString("sectionTitle%1").arg(t.tag));
    gelmora::ui::setViewTag(label, t.tag);
    label->setGeometry(t.x, t.y, 300, 24);
  }

  // The rows, in a scrolling document.
  scrollView = new QScrollArea(content_);
  scrollView->setObjectName("scrollView");
  scrollView->setFrameShape(QFrame::NoFrame);
  scrollView->setWidgetResizable(false);
  scrollView->setStyleSheet("QScrollArea { background: transparent; }");
  auto* document = new QWidget;
  document->setObjectName("documentView");
  gelmora::ui::setBackgroundColor(document, style.backgroundColor());

  updatePhoneBox = makeRow(document, "updatePhoneBox", "ic_data", QString(), nullptr, 1);
  updatePhoneTF = updatePhoneBox->findChild<QLabel*>("caption");
  unbindPhoneButton = new QPushButton(text("unbind_button"), updatePhoneBox);
  unbindPhoneButton->setObjectName("unbindPhoneButton");
  unbindPhoneButton->setFlat(true);
  unbindPhoneButton->setCursor(Qt::PointingHandCursor);
  unbindPhoneButton->setFont(style.h4());
  unbindPhoneButton->setStyleSheet(
      QString("QPushButton { color: %1; border: none; }").arg(style.lightBlue().name()));
  gelmora::ui::setCellTag(unbindPhoneButton, 2);
  connect(unbindPhoneButton, &QPushButton::clicked, this, [this] { btnClick(2); });
  phoneBox = makeRow(document, "phoneBox", "ic_data", QString(), &phone, 2);
  mailBox = makeRow(document, "mailBox", "ic_email", QString(), &mail, 0);
  wcBox = makeRow(document, "wcBox", "ic_login_wc", QString(), &wc, 3);  // heading: title 105
  facebookBox = makeRow(document, "facebookBox", "ic_login_facebook", "Facebook", &facebook, 4);
  insBox = makeRow(document, "insBox", "ic_login_ins", "Instagram", &ins, 5);
  ggBox = makeRow(document, "ggBox", "ic_login_gg", "Google", &gg, 6);
  ttBox = makeRow(document, "ttBox", "ic_login_tt", "Twitter", &tt, 7);
  qqBox = makeRow(document, "qqBox", "ic_login_qq", "QQ", &q, 8);
  lineBox = makeRow(document, "lineBox", "ic_login_line", "LINE", &line, 9);
  kakaoBox = makeRow(document, "kakaoBox", "ic_login_kakao", "Kakao", &kakao, 10);
  // The phone and e-mail rows first, the outside accounts under their section title.
  int y = 0;
  for (QFrame* row : {updatePhoneBox, phoneBox, mailBox, wcBox, facebookBox, insBox, ggBox, ttBox,
                      qqBox, lineBox, kakaoBox}) {
    if (row == phoneBox) y -= 52;  // the phone row and the change-phone row share a place
    if (row == wcBox) y += 40;     // room for the section title
    row->setGeometry(0, y, 700, 48);
    y += 52;
  }
  document->resize(700, y);
  // Titles that belong to the rows scroll with them: the phone rows' and the e-mail row's
  // headings, the outside accounts' section title and the WeChat row's heading.
  const struct {
    int tag;
    QWidget* parent;
    QRect frame;
  } rowTitles[] = {{102, document, {52, 12, 120, 24}},
                   {103, document, {52, 52 + 12, 120, 24}},
                   {104, document, {0, 104 + 8, 300, 24}},
                   {105, wcBox, {52, 12, 120, 24}}};
  for (const auto& t : rowTitles) {
    QWidget* label = gelmora::ui::viewWithTag(content_, t.tag);
    label->setParent(t.parent);
    label->setGeometry(t.frame);
    label->raise();
    label->show();
  }
  scrollView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scrollView->setWidget(document);
  // The e-mail row's cover, kept hidden.
  eamilMaskView = new QWidget(document);
  eamilMaskView->setObjectName("eamilMaskView");
  eamilMaskView->setGeometry(mailBox->geometry());

  // The window set-up.
  scrollView->verticalScrollBar()->setValue(0);  // the top rows shown
  setTextValue(updatePhoneTF, text("更换"));
  for (QWidget* w : {static_cast<QWidget*>(this), bgView, eamilMaskView})
    gelmora::ui::setBackgroundColor(w, style.backgroundColor());
  eamilMaskView->hide();
  const std::pair<int, QString> texts[] = {
      {100, text("personal_title")}, {101, text("basic_information_title")}, {102, "手机:"},
      {103, text("email_title")},    {104, text("bind_information_title")},  {105, "微信:"}};
  for (const auto& [tag, value] : texts)
    setTextValue(qobject_cast<QLabel*>(gelmora::ui::viewWithTag(content_, tag)), value);
  for (QFrame* box : {updatePhoneBox, phoneBox, wcBox, facebookBox, insBox, ggBox, ttBox, qqBox,
                      lineBox, kakaoBox}) {
    QWidget* control = gelmora::ui::viewWithTag(box, 2);
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
      connect(button, &QAbstractButton::clicked, this,
              [this, button] { btnClick(gelmora::ui::cellTag(button)); });
    }
  }
  bind().updateLinkedSNSInfo();
  gelmora::ui::observe(this, TsUserSNSInfoChangedNotification, [this](const auto&) {
    updateInfo();
    bindEmailView()->hide();
  });
  preCodeView()->hide();
  resultView()->hide();
  gelmora::ui::observe(this, TsUserVerifyPhoneSuccessNotification,
                       [this](const platform::notifications::Notification& n) {
                         const auto* type = std::any_cast<std::string>(&n.object);
                         if (!type || *type != "MODIFY_PHONE") return;
                         preCodeView()->hide();
                         bindView()->show();
                         bindView()->raise();
                       });
  gelmora::ui::observe(this, TsUserInfoChangedNotification,
                       [this](const auto&) { bind().updateLinkedSNSInfo(); });
  gelmora::ui::observe(this, TsUserUnbindPhoneSuccessNotification, [this](const auto&) {
    preCodeView()->hide();
    setTextValue(resultView()->titleTF, text("手机号解绑成功，请重新登录"));
    resultView()->show();
    resultView()->raise();
  });
  initModel();
  initModel2();
  updateInfo();
}

TsEditProfileWC::~TsEditProfileWC() {
  // Panels bound to the models go before the models.
  delete preCodeView_.data();
  delete bindView_.data();
  delete bindEmailView_.data();
  delete bindsuccessView_.data();
}

TsUserController& TsEditProfileWC::user() const { return deps_.user ? *deps_.user : app().user(); }
TsUserBindViewModel& TsEditProfileWC::bind() const {
  return deps_.bind ? *deps_.bind : app().bind();
}
gelmora::ui::ScreenRegistry& TsEditProfileWC::screens() const {
  return deps_.screens ? *deps_.screens : gelmora::ui::ScreenRegistry::shared();
}

QFrame* TsEditProfileWC::makeRow(QWidget* document, const char* name, const char* icon,
                                 const QString& title, QLabel** nameField, int cell) {
  const auto& style = TsStyleSheet::sharedInstance();
  auto* box = new QFrame(document);
  box->setObjectName(name);
  gelmora::ui::setBackgroundColor(box, kRow);
  auto* image = new QLabel(box);
  image->setPixmap(gelmora::ui::Images::named(icon));
  image->setScaledContents(true);
  image->setGeometry(16, 12, 24, 24);
  auto* heading = gelmora::ui::makeMeLabel(box, "heading", 15, QColor(255, 255, 255));
  heading->setText(title);
  heading->setGeometry(52, 12, 120, 24);
  if (nameField) {
    *nameField = gelmora::ui::makeMeLabel(box, name, 15, style.darkWhite());
    (*nameField)->setObjectName(QString(name).replace("Box", ""));
    (*nameField)->setGeometry(180, 12, 340, 24);
  }
  auto* caption = gelmora::ui::makeMeLabel(box, "caption", 13, style.lightBlue());
  caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  caption->setGeometry(560, 12, 120, 24);
  caption->setAttribute(Qt::WA_TransparentForMouseEvents);
  gelmora::ui::setViewTag(caption, 1);
  auto* control = new QPushButton(box);
  control->setObjectName("control");
  control->setFlat(true);
  control->setCursor(Qt::PointingHandCursor);
  control->setStyleSheet("QPushButton { border: none; background: transparent; }");
  control->setGeometry(540, 4, 150, 40);
  if (cell > 0) {
    gelmora::ui::setViewTag(control, 2);
    gelmora::ui::setCellTag(control, cell);
  } else {
    // The e-mail row's control has no tags: it sends emailBindAction.
    connect(control, &QPushButton::clicked, this, [this] { emailBindAction(); });
  }
  caption->raise();
  return box;
}

void TsEditProfileWC::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  content_->setGeometry(rect());
  bgView->setGeometry(content_->rect());
  bgView->lower();
  scrollView->setGeometry(50, 104, 700, 466);
  if (updatePhoneBox) unbindPhoneButton->setGeometry(420, 4, 120, 40);
  placePanels();
}

void TsEditProfileWC::placePanels() {
  // Centred horizontally, the small panels' centres 50 above the content's.
  const int cx = content_->width() / 2;
  const int cy = content_->height() / 2;
  if (preCodeView_) preCodeView_->setGeometry(cx - 225, cy - 50 - 155, 450, 310);
  if (resultView_) resultView_->setGeometry(cx - 225, cy - 50 - 235 / 2, 450, 235);
  if (bindView_) bindView_->setGeometry(cx - 300, cy - 250, 600, 500);
  if (bindEmailView_) bindEmailView_->setGeometry(cx - 300, cy - 250, 600, 500);
  if (bindsuccessView_) bindsuccessView_->setGeometry(cx - 200, cy - 250, 400, 500);
}

TsPreCodeView* TsEditProfileWC::preCodeView() {
  if (!preCodeView_) {
    TsUserBindViewModel* model = &bind();
    preCodeView_ = new TsPreCodeView(
        deps_.user, [model] { model->updateLinkedSNSInfo(); }, content_);
    // The insertion point of its code field is white.
    QPalette p = preCodeView_->codeTF()->textField()->palette();
    p.setColor(QPalette::Text, QColor(255, 255, 255));
    preCodeView_->codeTF()->textField()->setPalette(p);
    placePanels();
  }
  return preCodeView_;
}

TsBindResultView* TsEditProfileWC::resultView() {
  if (!resultView_) {
    resultView_ = new TsBindResultView(content_);
    QPointer<TsEditProfileWC> self(this);
    resultView_->setBlock([self] {
      if (!self) return;
      self->hide();
      self->user().setOffline(true);
    });
    placePanels();
  }
  return resultView_;
}

TsPhoneBindView* TsEditProfileWC::bindView() {
  if (!bindView_) {
    bindView_ = new TsPhoneBindView(content_);
    bindView_->hide();
    bindView_->closeButton()->show();
    QPointer<TsPhoneBindView> panel(bindView_);
    bindView_->setSkipBlock([panel] {
      if (panel) panel->hide();
    });
    placePanels();
  }
  return bindView_;
}

OXBindEmailView* TsEditProfileWC::bindEmailView() {
  if (!bindEmailView_) {
    bindEmailView_ = new OXBindEmailView(content_);
    bindEmailView_->hide();
    placePanels();
  }
  return bindEmailView_;
}

NSPhoneBindSuccessView* TsEditProfileWC::bindsuccessView() {
  if (!bindsuccessView_) {
    bindsuccessView_ = new NSPhoneBindSuccessView(content_, deps_.user);
    QPointer<TsEditProfileWC> self(this);
    auto done = [self] {
      if (!self) return;
      self->bindsuccessView()->hide();
      self->refreshUser();
    };
    bindsuccessView_->setSkipBlock(done);
    bindsuccessView_->setConfirmBlock(done);
    placePanels();
  }
  return bindsuccessView_;
}

void TsEditProfileWC::initModel() {
  gelmora::ui::TsLoginViewModel::Collaborators c;
  c.user = deps_.user;
  TsUserBindViewModel* model = &bind();
  c.updateLinkedSNSInfo = [model] { model->updateLinkedSNSInfo(); };
  bindModel_ = gelmora::ui::TsLoginViewModel::create(std::move(c));
  auto& m = *bindModel_;
  TsPhoneBindView* panel = bindView();
  gelmora::ui::bindText(panel->phoneTextField()->textField(),
                        [&m](const std::string& t) { m.userName.setValue(t); });
  gelmora::ui::bindText(panel->codeTextField()->textField(),
                        [&m](const std::string& t) { m.quickAuthCode.setValue(t); });
  DRFlatButton* code = panel->codeTextField()->codeBtn();
  DRFlatButton* voice = panel->codeTextField()->voiceCodeBtn();
  gelmora::ui::bindTitle(code, m.codeButtonTitle.signal());
  gelmora::ui::bindTitle(voice, m.voiceCodeButtonTitle.signal());
  QPointer<DRFlatButton> voiceGuard(voice);
  gelmora::ui::bindValue<bool>(voice, m.showVoice.signal(), [voiceGuard](const bool& on) {
    if (!voiceGuard) return;
    voiceGuard->setTitle(text("语音验证码"));
    voiceGuard->setVisible(on);
  });
  gelmora::ui::bindCommand(code, m.codeCommandWithType("BIND_NEW_PHONE"));
  gelmora::ui::bindCommand(voice, m.voiceCodeCommandWithType("BIND_NEW_PHONE"));
  gelmora::ui::bindCommand(panel->confirmButton(), m.bindPhoneCommand());
  QLineEdit* dial = panel->phoneTextField()->countryCodeLabel();
  m.countryCode.setValue(dial->text().toStdString());
  connect(dial, &QLineEdit::textChanged, this,
          [&m](const QString& t) { m.countryCode.setValue(t.toStdString()); });
  gelmora::ui::observe(this, TsUserBindPhoneSuccessNotification, [this](const auto&) {
    bindView()->hide();
    bindsuccessView()->setPhone(QString::fromStdString(bindModel_->userName.value()));
    bindsuccessView()->show();
    bindsuccessView()->raise();
  });
  gelmora::ui::observe(this, TsUserPhoneBindNotification, [this](const auto&) {
    bindView()->show();
    bindView()->raise();
  });
  bindView()->hide();
  bindsuccessView()->hide();
}

void TsEditProfileWC::initModel2() {
  gelmora::ui::OXLoginViewModel::Collaborators c;
  c.user = deps_.user;
  TsUserBindViewModel* model = &bind();
  c.updateLinkedSNSInfo = [model] { model->updateLinkedSNSInfo(); };
  bindEmailModel_ = gelmora::ui::OXLoginViewModel::create(std::move(c));
  auto& m = *bindEmailModel_;
  OXBindEmailView* panel = bindEmailView();
  gelmora::ui::bindText(panel->emailField()->textField(),
                        [&m](const std::string& t) { m.email.setValue(t); });
  gelmora::ui::bindText(panel->codeTF()->textField(),
                        [&m](const std::string& t) { m.code.setValue(t); });
  gelmora::ui::bindText(panel->passwordField()->textField(),
                        [&m](const std::string& t) { m.password.setValue(t); });
  gelmora::ui::bindCommand(panel->resetButton(), m.bindCommand());
  gelmora::ui::bindCommand(panel->codeTF()->codeBtn(), m.bindCodeCommand());
  gelmora::ui::bindTitle(panel->codeTF()->codeBtn(), m.codeButtonTitle.signal());
}

void TsEditProfileWC::updateInfo() {
  TsUserBindViewModel& b = bind();
  const std::pair<QFrame*, bool> rows[] = {{phoneBox, b.phoneBound}, {mailBox, b.emailBound},
                                           {wcBox, b.wechatBound},   {facebookBox, b.facebookBound},
                                           {insBox, b.insBound},     {ggBox, b.googleBound},
                                           {ttBox, b.twitterBound},  {qqBox, b.qqBound},
                                           {lineBox, b.lineBound},   {kakaoBox, b.kakaoBound}};
  for (const auto& [box, bound] : rows) {
    setTextValue(qobject_cast<QLabel*>(gelmora::ui::viewWithTag(box, 1)),
                 text(bound ? "unbind_button" : "go_bind_button"));
  }
  const JVX_LINKED_NAME none;
  const JVX_LINKED_NAME& n = b.boundInfo ? *b.boundInfo : none;
  using gelmora::ui::qText;
  setTextValue(phone, qText(n.phone));
  setTextValue(mail, qText(n.mail));
  setTextValue(wc, qText(n.wechat));
  setTextValue(q, qText(n.qq));
  setTextValue(facebook, qText(n.facebook));
  setTextValue(gg, qText(n.google));
  setTextValue(ins, qText(n.instagram));
  setTextValue(tt, qText(n.twitter));
  setTextValue(line, qText(n.line));
  setTextValue(kakao, qText(n.kakao));
  updatePhoneBox->setVisible(b.phoneBound);
  phoneBox->setVisible(!b.phoneBound);
  wcBox->setVisible(!(!b.phoneBound && b.wechatBound && !b.qqBound && !b.emailBound));
}

void TsEditProfileWC::btnClick(int tag) {
  const JVX_USER_INFO* info = gelmora::ui::userInfoOf(user());
  std::string number = info && info->phone_number ? *info->phone_number : std::string();
  if (number.empty()) number = " ";
  TsPreCodeView* check = preCodeView();
  setTextValue(
      check->titleTF(),
      text("我们已向当前手机号%@发送一条验证码").replace("%@", QString::fromStdString(number)));
  check->model().stopTimer();
  auto showCheck = [&](const char* nextTitle, const char* type, const char* heading) {
    check->show();
    check->raise();
    check->nextButton()->setTitle(text(nextTitle));
    check->setType(type);
    setTextValue(check->topTF(), text(heading));
    check->sendCode();
  };
  if (tag == 1) {
    showCheck("下一步", "MODIFY_PHONE", "更换手机号");
    return;
  }
  if (tag == 2) {
    if (bind().phoneBound) {
      showCheck("yes_button", "UNBIND_PHONE", "解绑手机号");
    } else {
      bindView()->show();
      bindView()->raise();
    }
    return;
  }
  for (const auto& row : kSocialRows) {
    if (row.cellTag != tag) continue;
    const std::string provider = row.provider;
    if (bind().*(row.bound)) {
      QPointer<TsEditProfileWC> self(this);
      deps_.alerts.confirm(this, QString(), text("sure_to_unbind"), [self, provider] {
        if (!self) return;
        self->preCodeView()->model().unbindSNSWithPlatform(provider).subscribe(
            {[](const nlohmann::json&) {}, [](const platform::reactive::Error&) {}, [] {}});
      });
    } else {
      check->hide();
      bindSNSWithProvider(provider);
    }
    return;
  }
}

void TsEditProfileWC::emailBindAction() {
  if (bind().emailBound) {
    QPointer<TsEditProfileWC> self(this);
    deps_.alerts.confirm(this, QString(), text("sure_to_unbind"), [self] {
      if (self) self->bindEmailModel_->unbindCommand()->execute(platform::reactive::Unit{});
    });
    return;
  }
  bindEmailView()->show();
  bindEmailView()->raise();
}

void TsEditProfileWC::bindSNSWithProvider(const std::string& provider) {
  auto env = app().env();
  gelmora::ui::OutsideAccountRequest request;
  request.url = "http://" + (env ? env->Q5ServiceDomain() : std::string()) +
                "/auth/bind-third-account-redirect?third_account_provider=" + provider +
                "&platform=mac&logincode=" + user().loginCode();
  request.isView = true;
  request.isBind = true;
  QWidget* page = screens().outsideAccountPage.make(request, content_);
  if (!page) return;
  page->setGeometry(50, 50, 700, 500);
  page->show();
  page->raise();
  bindPage_ = page;
}

void TsEditProfileWC::refreshUser() {
  user().refreshUserProfile();
  bind().updateLinkedSNSInfo();
}
