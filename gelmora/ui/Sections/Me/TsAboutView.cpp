#include "ui/Sections/Me/TsAboutView.h"

#include "gelmora/Core/BHAppPackage.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"
#include "ui/Sections/Me/MeSupport.h"

using gelmora::ui::L10n::text;
using gelmora::ui::setTextValue;

namespace {
const QColor kPanel(42, 38, 66);
}

TsAboutView::TsAboutView(QWidget* parent, std::function<std::optional<std::string>()> version)
    : QWidget(parent) {
  setObjectName("TsAboutView");
  gelmora::ui::setBackgroundColor(this, kPanel);
  const auto& style = TsStyleSheet::sharedInstance();
  auto* logo = new QLabel(this);
  logo->setObjectName("logoView");
  logo->setPixmap(gelmora::ui::Images::named("ic_logo"));
  logo->setScaledContents(true);
  logo->setGeometry(210, 40, 80, 80);
  versionTF = gelmora::ui::makeMeLabel(this, "versionTF", 15, QColor(255, 255, 255));
  gelmora::ui::setBackgroundColor(versionTF, kPanel);
  versionTF->setAlignment(Qt::AlignCenter);
  QQTF = gelmora::ui::makeMeLabel(this, "QQTF", 13, style.darkWhite());
  wcTF = gelmora::ui::makeMeLabel(this, "wcTF", 13, style.darkWhite());
  mobileTF = gelmora::ui::makeMeLabel(this, "mobileTF", 13, style.darkWhite());
  for (QLabel* l : {QQTF, wcTF, mobileTF}) l->setAlignment(Qt::AlignCenter);
  closeButton = new QPushButton(this);
  closeButton->setObjectName("closeButton");
  closeButton->setFlat(true);
  closeButton->setIcon(gelmora::ui::Images::icon("ic_close"));
  closeButton->setStyleSheet("QPushButton { border: none; }");
  connect(closeButton, &QPushButton::clicked, this, [this] { close(); });

  const std::optional<std::string> v = version ? version() : std::optional(app().version());
  setTextValue(versionTF, gelmora::ui::qText(v));
  setTextValue(QQTF, text("QQ反馈群"));
  setTextValue(wcTF, text("官方公众号"));
  setTextValue(mobileTF, text("获取移动版"));
  resize(500, 375);
}

void TsAboutView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  closeButton->setGeometry(width() - 40, 14, 26, 26);
  versionTF->setGeometry(0, 136, width(), 24);
  QQTF->setGeometry(0, 196, width(), 22);
  wcTF->setGeometry(0, 226, width(), 22);
  mobileTF->setGeometry(0, 256, width(), 22);
}

void TsAboutView::close() {
  hide();
  setParent(nullptr);
  deleteLater();
}
