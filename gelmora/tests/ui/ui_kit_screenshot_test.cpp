// The UI kit on one panel under a real X server: saves ui-kit.png for a person to look at and
// checks probe pixels of the flat buttons and the login field.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTest>

#include "UiTestSupport.h"
#include "gelmora/Core/BHAppPackage.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/HLImageAlertView.h"
#include "ui/Kit/Images.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Kit/TsHyperlinkTextField.h"
#include "ui/Kit/TsLoginTextField.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/UiTiming.h"
#include "ui/Kit/ViewHelpers.h"

using namespace gelmora::ui;
using gelmora::ui::test::waitFor;

namespace {

bool near(QColor a, QColor b, int tolerance = 4) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

QString screenshotDir() {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  return dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString::fromLocal8Bit(dir);
}

TEST(KitScreenshot, PanelOfTheKit) {
  UiTiming::setScale(0.01);
  const TsStyleSheet& style = app().style();
  QWidget panel;
  panel.resize(900, 420);
  setBackgroundColor(&panel, style.backgroundColor());

  auto* start = new TsFlatButton(&panel);
  start->setGeometry(40, 40, 192, 44);
  start->setTitle("Start");
  auto* disabled = new TsFlatButton(&panel);
  disabled->setGeometry(260, 40, 192, 44);
  disabled->setTitle("Starting…");
  auto* outline = new TsFlatButton(&panel);
  outline->setGeometry(480, 40, 192, 44);
  outline->setTitle("Top up");
  outline->setOnlyBorder(true);

  auto* back = new DRFlatButton(&panel);
  back->setGeometry(40, 110, 192, 44);
  back->setMomentary(true);
  back->setFont(style.fontWithSize(17));
  back->setTitle("Back to sign-in");
  back->setTitleNormalColor(QColor::fromRgbF(0.44f, 0.43f, 0.48f));
  back->setBorderNormalColor(QColor::fromRgbF(0.44f, 0.43f, 0.48f));
  back->setBorderWidth(1);
  back->setCornerRadius(22);
  auto* line = new DRFlatButton(&panel);
  line->setGeometry(260, 110, 192, 44);
  line->setFont(style.h3());
  line->setTitle("Fastest line");
  line->setImage(Images::named("ic_accelerate"));
  line->setImageHugsTitle(true);
  line->setSpacing(4);
  line->setImagePosition(DRFlatButton::ImageLeft);
  line->setTitleNormalColor(QColor(Qt::white));
  line->setImageNormalColor(style.lightBlue());

  auto* field = new TsLoginTextField(Images::named("ic_error"), false, &panel);
  field->setGeometry(40, 180, 412, 45);
  field->textField()->setPlaceholderText("E-mail address");
  auto* secret = new TsLoginTextField(Images::named("ic_error"), true, &panel);
  secret->setGeometry(40, 240, 412, 40);
  secret->textField()->setText("secret");
  // As the forms do: the field on the form's colour.
  for (auto* f : {field, secret}) {
    QPalette p = f->textField()->palette();
    p.setColor(QPalette::Base, style.backgroundColor());
    p.setColor(QPalette::Text, Qt::white);
    p.setColor(QPalette::PlaceholderText, style.lightGray());
    f->textField()->setPalette(p);
  }

  auto* links = new TsHyperlinkTextField(&panel);
  links->setGeometry(40, 310, 412, 40);
  links->setHtml(
      "<span style=\"color:#AEB3C2\">New here? <a href=\"https://example.com/join\" "
      "style=\"color:#2BBDD4\">Create an account</a></span>");

  auto* overlay = new HLImageAlertView(&panel);
  overlay->configure("New line chosen", "It takes effect the next time you start the boost.",
                     Images::named("ic_error"), "Switch", "Keep", nullptr, nullptr);
  overlay->move(480, 110);
  overlay->QWidget::show();

  panel.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
  disabled->setEnabled(false);
  ASSERT_TRUE(waitFor([&] {
    return disabled->alpha() == 0.5 && back->runningAnimations() == 0 &&
           line->runningAnimations() == 0;
  }));

  const QImage shot = panel.grab().toImage();
  QDir().mkpath(screenshotDir());
  const QString path = screenshotDir() + "/ui-kit.png";
  ASSERT_TRUE(shot.save(path)) << path.toStdString();

  // The flat button runs from the gradient's dark end to its light end.
  EXPECT_TRUE(near(shot.pixelColor(42, 62), QColor(0x4D, 0x45, 0xD9)))
      << shot.pixelColor(42, 62).name().toStdString();
  EXPECT_TRUE(near(shot.pixelColor(229, 62), QColor(0xBF, 0x52, 0x96)))
      << shot.pixelColor(229, 62).name().toStdString();
  // Disabled: half of it over the background #1F1D32.
  const QColor bg(0x1F, 0x1D, 0x32);
  auto half = [&](QColor c) {
    return QColor((c.red() + bg.red()) / 2, (c.green() + bg.green()) / 2,
                  (c.blue() + bg.blue()) / 2);
  };
  EXPECT_TRUE(near(shot.pixelColor(262, 62), half(QColor(0x4D, 0x45, 0xD9))))
      << shot.pixelColor(262, 62).name().toStdString();
  EXPECT_TRUE(near(shot.pixelColor(449, 62), half(QColor(0xBF, 0x52, 0x96))))
      << shot.pixelColor(449, 62).name().toStdString();
  // The field's bottom line.
  EXPECT_TRUE(near(shot.pixelColor(200, 224), QColor(0xE8, 0xED, 0xF0)))
      << shot.pixelColor(200, 224).name().toStdString();
  // The outline button is hollow.
  EXPECT_TRUE(near(shot.pixelColor(520, 45), bg));
}

}  // namespace
