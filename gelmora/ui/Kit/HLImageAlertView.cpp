#include "ui/Kit/HLImageAlertView.h"

#include <QFontMetrics>
#include <QTextLayout>

#include "gelmora/Core/BHAppPackage.h"
#include "ui/Kit/DRFlatButton.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace {
constexpr int kWidth = 400;
constexpr int kHeight = 240;
constexpr int kMessageWidth = 340;

DRFlatButton* makeButton(QWidget* parent, bool primary) {
  auto* b = new DRFlatButton(parent);
  const TsStyleSheet& style = app().style();
  b->setMomentary(true);
  b->setCornerRadius(18);
  b->setFont(style.fontWithSize(15));
  if (primary) {
    b->setBackgroundNormalColor(style.gradientDark());
    b->setBackgroundHighlightColor(style.gradientLight());
    b->setTitleNormalColor(QColor(Qt::white));
    b->setTitleHighlightColor(QColor(Qt::white));
  } else {
    b->setBorderWidth(1);
    b->setBorderNormalColor(style.darkGray());
    b->setBorderHighlightColor(style.gradientDark());
    b->setTitleNormalColor(style.darkGray());
    b->setTitleHighlightColor(style.gradientDark());
  }
  return b;
}
}  // namespace

HLImageAlertView::HLImageAlertView(QWidget* parent) : QWidget(parent) {
  resize(kWidth, kHeight);
  const TsStyleSheet& style = app().style();
  iconView_ = new QLabel(this);
  iconView_->setGeometry((kWidth - 48) / 2, 20, 48, 48);
  iconView_->setScaledContents(true);
  titleLabel_ = new QLabel(this);
  titleLabel_->setGeometry(20, 78, kWidth - 40, 24);
  titleLabel_->setAlignment(Qt::AlignCenter);
  QFont titleFont = style.fontWithSize(17);
  titleFont.setBold(true);
  titleLabel_->setFont(titleFont);
  titleLabel_->setStyleSheet(QStringLiteral("color: #1F1D32"));
  messageLabel_ = new QLabel(this);
  messageLabel_->setGeometry((kWidth - kMessageWidth) / 2, 106, kMessageWidth, 44);
  messageLabel_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  messageLabel_->setFont(style.h4());
  messageLabel_->setStyleSheet(QStringLiteral("color: #757F8D"));
  confirmButton_ = makeButton(this, true);
  confirmButton_->setGeometry(kWidth / 2 + 10, 172, 150, 36);
  cancelButton_ = makeButton(this, false);
  cancelButton_->setGeometry(kWidth / 2 - 160, 172, 150, 36);
  connect(confirmButton_, &QAbstractButton::clicked, this, [this] { confirm(); });
  connect(cancelButton_, &QAbstractButton::clicked, this, [this] { cancel(); });
}

QString HLImageAlertView::fitToLines(const QString& text, const QFont& font, int width, int lines) {
  // Line breaks in the text end lines as the layout sees them.
  QString t = text;
  t.replace(QLatin1Char('\n'), QChar::LineSeparator);
  QTextLayout layout(t, font);
  layout.beginLayout();
  QString out;
  for (int n = 0; n < lines; ++n) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(width);
    QString part = t.mid(line.textStart(), line.textLength());
    part.remove(QChar::LineSeparator);
    const bool last = n == lines - 1;
    if (last && line.textStart() + line.textLength() < t.size()) {
      // More text follows: the last line ends with an ellipsis.
      const QFontMetrics metrics(font);
      QString rest = t.mid(line.textStart());
      const int separator = rest.indexOf(QChar::LineSeparator);
      if (separator >= 0) {
        rest = rest.left(separator);
        const QString marked = rest + QChar(0x2026);
        out += metrics.horizontalAdvance(marked) <= width
                   ? marked
                   : metrics.elidedText(rest, Qt::ElideRight, width);
      } else {
        out += metrics.elidedText(rest.simplified(), Qt::ElideRight, width);
      }
    } else {
      out += part;
    }
    if (!last) out += QLatin1Char('\n');
  }
  layout.endLayout();
  return out.trimmed();
}

void HLImageAlertView::configure(const QString& title, const QString& message, const QPixmap& image,
                                 const QString& confirmTitle, const QString& cancelTitle,
                                 std::function<void()> confirmBlock,
                                 std::function<void()> cancelBlock) {
  iconView_->setPixmap(image);
  gelmora::ui::setTextValue(titleLabel_, title);
  messageLabel_->setText(fitToLines(message, messageLabel_->font(), kMessageWidth, 2));
  confirmButton_->setTitle(confirmTitle);
  cancelButton_->setTitle(cancelTitle);
  confirmBlock_ = std::move(confirmBlock);
  cancelBlock_ = std::move(cancelBlock);
  gelmora::ui::setBackgroundColor(this, Qt::white);
}

void HLImageAlertView::show() {
  gelmora::ui::Positioning::centerToParent(this);
  raise();
  QWidget::show();
}

void HLImageAlertView::confirm() {
  if (confirmBlock_) confirmBlock_();
}

void HLImageAlertView::cancel() {
  if (cancelBlock_) cancelBlock_();
}
