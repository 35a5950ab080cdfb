#pragma once
// A read-only text whose links open on a click, with a pointing hand over each link. The text is
// HTML; links are <a href="..."> elements. Addresses go through a UrlOpener, which opens only web
// and mail addresses.
#include <QRectF>
#include <QString>
#include <QTextDocument>
#include <QWidget>
#include <optional>
#include <vector>

class UrlOpener;

class TsHyperlinkTextField : public QWidget {
  Q_OBJECT
 public:
  // `opener`: none is the application's.
  explicit TsHyperlinkTextField(QWidget* parent = nullptr, UrlOpener* opener = nullptr);

  void setHtml(const QString& html);
  void setText(const QString& plain);

  struct HyperlinkInfo {
    int start;   // the link's first character in the text
    int length;  // its characters
    QString url;
    QRectF rect;  // one rectangle its characters occupy (a link over two lines has two records)
  };
  // The records, none when the text has no link; built afresh on each call.
  std::optional<std::vector<HyperlinkInfo>> hyperlinkInfos() const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void relayout() const;
  mutable QTextDocument doc_;
  UrlOpener* opener_;
};
