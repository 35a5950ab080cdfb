#include "ui/Kit/TsHyperlinkTextField.h"

#include <QAbstractTextDocumentLayout>
#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTextBlock>
#include <QTextLayout>

#include "ui/Application/Collaborators.h"

TsHyperlinkTextField::TsHyperlinkTextField(QWidget* parent, UrlOpener* opener)
    : QWidget(parent), opener_(opener) {
  // Never takes the focus for editing or selection.
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);
  doc_.setDocumentMargin(0);
  doc_.setDefaultFont(font());
}

void TsHyperlinkTextField::setHtml(const QString& html) {
  doc_.setHtml(html);
  relayout();
  updateGeometry();
  update();
}

void TsHyperlinkTextField::setText(const QString& plain) {
  doc_.setPlainText(plain);
  relayout();
  updateGeometry();
  update();
}

void TsHyperlinkTextField::relayout() const {
  // Text without a font of its own is measured in the field's font.
  doc_.setDefaultFont(font());
  doc_.setTextWidth(width());
}

QSize TsHyperlinkTextField::sizeHint() const {
  relayout();
  return doc_.size().toSize();
}

std::optional<std::vector<TsHyperlinkTextField::HyperlinkInfo>>
TsHyperlinkTextField::hyperlinkInfos() const {
  relayout();
  std::vector<HyperlinkInfo> out;
  auto* layout = doc_.documentLayout();
  for (QTextBlock block = doc_.begin(); block.isValid(); block = block.next()) {
    const QRectF blockRect = layout->blockBoundingRect(block);
    const QTextLayout* text = block.layout();
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (!fragment.isValid() || !fragment.charFormat().isAnchor()) continue;
      const QString url = fragment.charFormat().anchorHref();
      const int start = fragment.position() - block.position();
      const int end = start + fragment.length();
      // One rectangle per laid-out line the link's characters touch.
      for (int i = 0; i < text->lineCount(); ++i) {
        const QTextLine line = text->lineAt(i);
        const int from = std::max(start, line.textStart());
        const int to = std::min(end, line.textStart() + line.textLength());
        if (from >= to) continue;
        const double x1 = line.cursorToX(from);
        const double x2 = line.cursorToX(to);
        QRectF r(std::min(x1, x2), line.y(), std::abs(x2 - x1), line.height());
        out.push_back(
            {fragment.position(), fragment.length(), url, r.translated(blockRect.topLeft())});
      }
    }
  }
  if (out.empty()) return std::nullopt;
  return out;
}

void TsHyperlinkTextField::paintEvent(QPaintEvent*) {
  QPainter p(this);
  relayout();
  doc_.drawContents(&p, rect());
}

void TsHyperlinkTextField::mouseMoveEvent(QMouseEvent* event) {
  bool overLink = false;
  if (auto infos = hyperlinkInfos()) {
    for (const auto& info : *infos) {
      if (info.rect.contains(event->position())) overLink = true;
    }
  }
  if (overLink) {
    setCursor(Qt::PointingHandCursor);
  } else {
    unsetCursor();
  }
}

void TsHyperlinkTextField::mouseReleaseEvent(QMouseEvent* event) {
  relayout();
  const int index = doc_.documentLayout()->hitTest(event->position(), Qt::ExactHit);
  if (index < 0) return;
  auto infos = hyperlinkInfos();
  if (!infos) return;
  for (const auto& info : *infos) {
    if (index >= info.start && index < info.start + info.length) {
      UrlOpener& opener = opener_ ? *opener_ : gelmora::ui::urlOpener();
      opener.openURL(info.url.toStdString());
      return;
    }
  }
}

void TsHyperlinkTextField::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  relayout();
}

void TsHyperlinkTextField::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) {
    relayout();
    update();
  }
  QWidget::changeEvent(event);
}
