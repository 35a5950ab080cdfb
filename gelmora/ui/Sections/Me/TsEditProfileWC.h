#pragma once
// The profile editor: a top-level window listing the phone, the e-mail address and eight outside
// accounts bound to the signed-in account, from which each is changed, bound or unbound. It sends
// nothing itself: the verification view, the phone-binding panels, the e-mail panel and the
// outside-account page do, through their view models and the bound-accounts model, and the
// editor follows their notifications. Made once by the account page and kept.
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "ui/Application/ScreenRegistry.h"
#include "ui/Sections/Me/MeSupport.h"

class NSPhoneBindSuccessView;
class OXBindEmailView;
class TsBindResultView;
class TsPhoneBindView;
class TsPreCodeView;
class TsUserBindViewModel;
class TsUserController;

namespace gelmora::ui {
class OXLoginViewModel;
class TsLoginViewModel;
}  // namespace gelmora::ui

struct TsEditProfileDependencies {
  TsUserController* user = nullptr;                // app().user()
  TsUserBindViewModel* bind = nullptr;             // app().bind()
  gelmora::ui::MeAlerts alerts;                    // qtMeAlerts()
  gelmora::ui::ScreenRegistry* screens = nullptr;  // ScreenRegistry::shared()
};

class TsEditProfileWC : public QWidget {
  Q_OBJECT
 public:
  using Dependencies = TsEditProfileDependencies;
  explicit TsEditProfileWC(Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~TsEditProfileWC() override;

  void updateInfo();
  // The action of the row controls, by their cell tag.
  void btnClick(int cellTag);
  void emailBindAction();
  void bindSNSWithProvider(const std::string& provider);
  void refreshUser();

  // Panels, made on first use and kept.
  TsPreCodeView* preCodeView();
  TsBindResultView* resultView();
  TsPhoneBindView* bindView();
  OXBindEmailView* bindEmailView();
  NSPhoneBindSuccessView* bindsuccessView();
  gelmora::ui::TsLoginViewModel& bindModel() const { return *bindModel_; }
  gelmora::ui::OXLoginViewModel& bindEmailModel() const { return *bindEmailModel_; }
  QWidget* contentView() const { return content_; }
  // The outside-account page opened last (none once it closed).
  QWidget* bindPage() const { return bindPage_; }

  QLabel *phone, *mail, *wc, *q, *facebook, *ins, *gg, *tt, *updatePhoneTF, *line, *kakao;
  QWidget* bgView;
  QFrame *phoneBox, *mailBox, *wcBox, *insBox, *ggBox, *facebookBox, *ttBox, *kakaoBox, *lineBox,
      *qqBox;
  QScrollArea* scrollView;
  QWidget* eamilMaskView;
  QFrame* updatePhoneBox;
  // The change-phone row's unbind control (cell tag 2), reachable while a phone is bound.
  QPushButton* unbindPhoneButton;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void initModel();
  void initModel2();
  QFrame* makeRow(QWidget* document, const char* name, const char* icon, const QString& title,
                  QLabel** nameField, int cellTag);
  void placePanels();
  TsUserController& user() const;
  TsUserBindViewModel& bind() const;
  gelmora::ui::ScreenRegistry& screens() const;

  Dependencies deps_;
  QWidget* content_;
  QPointer<TsPreCodeView> preCodeView_;
  QPointer<TsBindResultView> resultView_;
  QPointer<TsPhoneBindView> bindView_;
  QPointer<OXBindEmailView> bindEmailView_;
  QPointer<NSPhoneBindSuccessView> bindsuccessView_;
  QPointer<QWidget> bindPage_;
  std::shared_ptr<gelmora::ui::TsLoginViewModel> bindModel_;
  std::shared_ptr<gelmora::ui::OXLoginViewModel> bindEmailModel_;
};
