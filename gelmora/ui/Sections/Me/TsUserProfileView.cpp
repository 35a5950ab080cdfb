#include "ui/Sections/Me/TsUserProfileView.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>

#include "gelmora/Core/BHAppPackage.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Me/MeSupport.h"

using gelmora::ui::L10n::text;
using gelmora::ui::makeMeLabel;
using gelmora::ui::setTextValue;

namespace {

const QColor kWhite(255, 255, 255);
const QColor kCaption(111, 107, 152);

QPushButton* makeCommandButton(QWidget* parent, const char* name, const char* image) {
  auto* b = new QPushButton(parent);
  b->setObjectName(name);
  b->setFlat(true);
  b->setCursor(Qt::PointingHandCursor);
  b->setIcon(gelmora::ui::Images::icon(image));
  b->setIconSize(QSize(28, 28));
  b->setStyleSheet(
      "QPushButton { border: 1px solid #3a3656; border-radius: 24px; background: #2a2642; }"
      "QPushButton:pressed { background: #3a3656; }");
  return b;
}

QFrame* makeBox(QWidget* parent, const char* name) {
  auto* box = new QFrame(parent);
  box->setObjectName(name);
  box->setStyleSheet("background: transparent;");
  return box;
}

}  // namespace

TsUserProfileView::TsUserProfileView(QWidget* parent) : QWidget(parent) {
  const auto& style = TsStyleSheet::sharedInstance();
  centerView = new QWidget(this);
  centerView->setObjectName("centerView");
  logoView = new QLabel(this);
  logoView->setObjectName("logoView");
  logoView->setPixmap(gelmora::ui::Images::named("ic_logo_light"));
  logoView->setScaledContents(true);
  avataView = new QLabel(this);
  avataView->setObjectName("avataView");
  avataView->setPixmap(gelmora::ui::Images::named("ic_logo"));
  avataView->setScaledContents(true);
  userNameTF = makeMeLabel(this, "userNameTF", 19, kWhite);
  idTF = makeMeLabel(this, "idTF", 13, style.darkWhite());
  phoneLabel = makeMeLabel(this, "phoneLabel", 13, style.darkWhite());
  payButton = new TsFlatButton(this);
  payButton->setObjectName("payButton");
  payButton->setTitle(text("top_up_button"));
  payButton->setFont(style.h3());

  carousel = new gelmora::ui::CarouselWidget(this);
  carousel->setObjectName("carousel");

  packTitleTF = makeMeLabel(this, "packTitleTF", 15, style.darkWhite());
  packTypeTF = makeMeLabel(this, "packTypeTF", 15, kWhite);
  exDateTitleTF = makeMeLabel(this, "exDateTitleTF", 15, style.darkWhite());
  exDateTF = makeMeLabel(this, "exDateTF", 15, kWhite);
  suitLabel = new TsUserInfoLabel(centerView);
  suitLabel->setObjectName("suitLabel");
  expireDateLabel = new TsUserInfoLabel(centerView);
  expireDateLabel->setObjectName("expireDateLabel");
  restTrafficLabel = new TsUserInfoLabel(centerView);
  restTrafficLabel->setObjectName("restTrafficLabel");
  uidLabel = new TsUserInfoLabel(centerView);
  uidLabel->setObjectName("uidLabel");
  for (auto* row : {suitLabel, restTrafficLabel, uidLabel}) row->hide();

  bootCheckBox = new QCheckBox(this);
  bootCheckBox->setObjectName("bootCheckBox");
  bootCheckBox->setFont(style.h4());
  bootCheckBox->setStyleSheet(QString("color: %1;").arg(style.darkWhite().name()));
  bootCheckBox->setText(text("launch_at_login_button"));

  editBox = makeBox(this, "editBox");
  editButton = makeCommandButton(editBox, "editButton", "ic_more");
  editTitleTF = makeMeLabel(editBox, "editTitleTF", 13, kCaption);
  vipBox = makeBox(this, "vipBox");
  vipButton = makeCommandButton(vipBox, "vipButton", "ic_status");
  vipTF = makeMeLabel(vipBox, "vipTF", 13, kCaption);
  orderButton = makeCommandButton(this, "orderButton", "ic_data");
  orderTF = makeMeLabel(this, "orderTF", 13, kCaption);
  helpButton = makeCommandButton(this, "helpButton", "ic_top_kefu");
  helpTF = makeMeLabel(this, "helpTF", 13, kCaption);
  shareButton = makeCommandButton(this, "shareButton", "ic_top_share");
  shareTF = makeMeLabel(this, "shareTF", 13, kCaption);
  logoutButton = makeCommandButton(this, "logoutButton", "ic_exit");
  logoutTF = makeMeLabel(this, "logoutTF", 13, kCaption);
  aboutButton = makeCommandButton(this, "aboutButton", "ic_logo");
  aboutTF = makeMeLabel(this, "aboutTF", 13, kCaption);
  for (QLabel* caption : {editTitleTF, vipTF, orderTF, helpTF, shareTF, logoutTF, aboutTF})
    caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

  versionLabel = makeMeLabel(this, "versionLabel", 12, style.darkGray());
  versionLabel->setText("v");
  versionTF = makeMeLabel(this, "versionTF", 12, style.darkGray());
  resize(850, 600);
}

bool TsUserProfileView::event(QEvent* e) {
  const bool handled = QWidget::event(e);
  if (e->type() == QEvent::ParentChange && parentWidget()) viewDidMoveToSuperview();
  return handled;
}

void TsUserProfileView::viewDidMoveToSuperview() {
  std::optional<std::string> version =
      versionSource_ ? versionSource_() : std::optional<std::string>(app().version());
  setTextValue(versionTF, gelmora::ui::qText(version));
  setTextValue(logoutTF, text("sign_out_button"));
  setTextValue(packTitleTF, text("package_type"));
  setTextValue(exDateTitleTF, text("expired_date"));
  exDateTitleTF->adjustSize();
  setTextValue(editTitleTF, text("edit_button"));
  setTextValue(aboutTF, text("about_button"));
  setTextValue(shareTF, text("share"));
  setTextValue(helpTF, text("问题百科"));
  setTextValue(orderTF, text("my_order_button"));
  setTextValue(vipTF, text("member_center_button"));
  // The expiry follows its caption, wherever the caption's width puts it.
  exDateTF->move(exDateTitleTF->x() + exDateTitleTF->width() + 12, exDateTF->y());
}

void TsUserProfileView::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  QPainter p(this);
  p.fillRect(event->rect(), TsStyleSheet::sharedInstance().backgroundColor());
}

void TsUserProfileView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int w = width();
  const int h = height();
  avataView->setGeometry(40, 24, 56, 56);
  userNameTF->setGeometry(112, 26, 380, 26);
  idTF->setGeometry(112, 56, 380, 20);
  phoneLabel->setGeometry(112, 78, 1, 1);
  logoView->setGeometry(w - 240, 34, 32, 32);
  payButton->setGeometry(w - 190, 30, 150, 40);
  carousel->setGeometry(0, 96, w, 210);
  packTitleTF->setGeometry(60, 322, 120, 22);
  packTitleTF->adjustSize();
  packTypeTF->setGeometry(packTitleTF->x() + packTitleTF->width() + 12, 322, 260, 22);
  exDateTitleTF->move(60, 352);
  exDateTitleTF->adjustSize();
  exDateTF->setGeometry(exDateTitleTF->x() + exDateTitleTF->width() + 12, 352, 220, 22);
  centerView->setGeometry(440, 322, 360, 60);
  expireDateLabel->setGeometry(0, 30, 360, 24);
  suitLabel->setGeometry(0, 0, 360, 24);
  bootCheckBox->setGeometry(60, 388, 300, 24);
  // Command buttons along the bottom, each a 48-pixel circle over its caption.
  struct Slot {
    QWidget* box;
    QPushButton* button;
    QLabel* caption;
  };
  const Slot places[] = {{editBox, editButton, editTitleTF}, {vipBox, vipButton, vipTF},
                        {nullptr, orderButton, orderTF},    {nullptr, helpButton, helpTF},
                        {nullptr, shareButton, shareTF},    {nullptr, logoutButton, logoutTF},
                        {nullptr, aboutButton, aboutTF}};
  const int top = h - 170;
  int x = 60;
  for (const auto& s : places) {
    if (s.box) {
      s.box->setGeometry(x, top, 110, 90);
      s.button->setGeometry(31, 0, 48, 48);
      s.caption->setGeometry(0, 56, 110, 22);
    } else {
      s.button->setGeometry(x + 31, top, 48, 48);
      s.caption->setGeometry(x, top + 56, 110, 22);
    }
    x += 115;
  }
  versionLabel->setGeometry(w - 160, h - 34, 14, 20);
  versionTF->setGeometry(w - 144, h - 34, 120, 20);
}
