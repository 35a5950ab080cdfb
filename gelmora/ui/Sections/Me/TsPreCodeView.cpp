#include "ui/Sections/Me/TsPreCodeView.h"

#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Sections/Me/TsUserBindViewModel.h"
#include "ui/Kit/Bindings.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/TsTextField.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Me/MeSupport.h"

using gelmora::ui::L10n::text;

namespace {

const QColor kPanel(42, 38, 66);

// Points `button` at `command`, ending whatever `holder` bound before.
template <class Out>
void rebind(QAbstractButton* button,
            std::shared_ptr<platform::reactive::Command<platform::reactive::Unit, Out>> command,
            QPointer<QObject>& holder) {
  delete holder.data();
  auto* owner = new QObject(button);
  holder = owner;
  QPointer<QAbstractButton> guard(button);
  gelmora::ui::bindValue<bool>(owner, command->enabled(), [guard](const bool& on) {
    if (guard) guard->setEnabled(on);
  });
  auto* raw = command.get();
  gelmora::ui::keepUntilDestroyed(owner, std::shared_ptr<void>(std::move(command)));
  QObject::connect(button, &QAbstractButton::clicked, owner,
                   [raw] { raw->execute(platform::reactive::Unit{}); });
}

}  // namespace

TsPreCodeView::TsPreCodeView(TsUserController* user, std::function<void()> updateLinkedSNSInfo,
                             QWidget* parent)
    : QWidget(parent), user_(user) {
  setObjectName("TsPreCodeView");
  initUI();
  gelmora::ui::TsLoginViewModel::Collaborators c;
  c.user = user_;
  c.updateLinkedSNSInfo = updateLinkedSNSInfo
                              ? std::move(updateLinkedSNSInfo)
                              : std::function<void()>([] { app().bind().updateLinkedSNSInfo(); });
  model_ = gelmora::ui::TsLoginViewModel::create(std::move(c));
  initModel();
  resize(450, 310);
}

TsPreCodeView::~TsPreCodeView() {
  // The bindings end with their holders before the model they observe.
  delete codeBinding_.data();
  delete voiceBinding_.data();
  delete nextBinding_.data();
}

void TsPreCodeView::initUI() {
  const auto& style = TsStyleSheet::sharedInstance();
  gelmora::ui::setBackgroundColor(this, kPanel);
  codeTF_ = new TsLoginCodeTF(gelmora::ui::Images::named("ic_data"), false, this);
  codeTF_->setObjectName("codeTF");
  auto* field = codeTF_->textField();
  field->setPlaceholderText(text("请输入验证码"));
  field->setFont(style.h4());
  QPalette palette = field->palette();
  palette.setColor(QPalette::PlaceholderText, style.lightGray());
  palette.setColor(QPalette::Base, kPanel);
  field->setPalette(palette);
  field->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  gelmora::ui::setBackgroundColor(field, kPanel);
  gelmora::ui::setBackgroundColor(codeTF_->bottomLine(), QColor(54, 51, 70));
  nextButton_ = new TsFlatButton(this);
  nextButton_->setObjectName("nextButton");
  nextButton_->setOnlyBorder(false);
  nextButton_->setFont(style.h3());

  topTF_ = gelmora::ui::makeMeLabel(this, "topTF", 17, QColor(255, 255, 255));
  topTF_->setAlignment(Qt::AlignCenter);
  titleTF_ = gelmora::ui::makeMeLabel(this, "titleTF", 13, style.darkWhite());
  titleTF_->setAlignment(Qt::AlignCenter);
  closeButton_ = new QPushButton(this);
  closeButton_->setObjectName("closeButton");
  closeButton_->setFlat(true);
  closeButton_->setIcon(gelmora::ui::Images::icon("ic_close"));
  closeButton_->setStyleSheet("QPushButton { border: none; }");
  connect(closeButton_, &QPushButton::clicked, this, [this] { close(); });
}

void TsPreCodeView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  closeButton_->setGeometry(width() - 36, 10, 26, 26);
  topTF_->setGeometry(20, 26, width() - 40, 26);
  titleTF_->setGeometry(20, 64, width() - 40, 22);
  // The code field 65 in from both sides, 40 high, centred 20 below the middle; the button 40
  // below it.
  const int codeTop = height() / 2 + 20 - 20;
  codeTF_->setGeometry(65, codeTop, width() - 130, 40);
  nextButton_->setGeometry(65, codeTop + 40 + 40, width() - 130, 44);
}

void TsPreCodeView::initModel() {
  refreshModel();
  auto* model = model_.get();
  gelmora::ui::bindText(codeTF_->textField(),
                        [model](const std::string& t) { model->quickAuthCode.setValue(t); });
  gelmora::ui::bindTitle(codeTF_->codeBtn(), model_->codeButtonTitle.signal());
  gelmora::ui::bindTitle(codeTF_->voiceCodeBtn(), model_->voiceCodeButtonTitle.signal());
  QPointer<DRFlatButton> voice(codeTF_->voiceCodeBtn());
  gelmora::ui::bindValue<bool>(this, model_->showVoice.signal(), [voice](const bool& show) {
    if (!voice) return;
    voice->setTitle(text("语音验证码"));
    voice->setVisible(show);
  });
  gelmora::ui::observe(this, TsUserInfoChangedNotification,
                       [this](const platform::notifications::Notification&) { refreshModel(); });
}

void TsPreCodeView::refreshModel() {
  TsUserController& user = user_ ? *user_ : app().user();
  const JVX_USER_INFO* info = gelmora::ui::userInfoOf(user);
  model_->userName.setValue(info && info->phone_number ? *info->phone_number : std::string());
  model_->countryCode.setValue(
      info && info->country_code ? std::to_string(info->country_code->intValue()) : std::string());
}

void TsPreCodeView::setType(const std::string& type) {
  type_ = type;
  if (type.empty()) return;
  auto code = model_->codeCommandWithType(type);
  std::weak_ptr<platform::reactive::Command<platform::reactive::Unit, nlohmann::json>> weak = code;
  runCode_ = [weak] {
    if (auto c = weak.lock()) c->execute(platform::reactive::Unit{});
  };
  rebind(codeTF_->codeBtn(), std::move(code), codeBinding_);
  rebind(codeTF_->voiceCodeBtn(), model_->voiceCodeCommandWithType(type), voiceBinding_);
  if (type == "UNBIND_PHONE") {
    rebind(nextButton_, model_->unBindPhoneCommand(), nextBinding_);
  } else {
    rebind(nextButton_, model_->verifyPhoneCommandWithType(type), nextBinding_);
  }
}

void TsPreCodeView::sendCode() {
  if (runCode_) runCode_();
}

void TsPreCodeView::close() { hide(); }
