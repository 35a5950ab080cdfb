#pragma once
// The application's pill-shaped action button: a left-to-right gradient face (even dark while
// pressed) with a centred white title, or only a gradient outline, or a plain colour face.
// Disabled, it fades to half opacity.
#include <QAbstractButton>
#include <QColor>
#include <QVariantAnimation>
#include <optional>

class TsFlatButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit TsFlatButton(QWidget* parent = nullptr);

  void setTitle(const QString& title) { setText(title); }
  QString title() const { return text(); }

  bool onlyBorder() const { return onlyBorder_; }
  void setOnlyBorder(bool on);
  // Width of the outline in border-only mode (2 unless set).
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double width);

  // A plain face of this colour instead of the gradient, with the corner radius of
  // setCornerRadius (the pill's when none was set).
  void setBackgroundColor(const QColor& color);
  std::optional<QColor> backgroundColor() const { return background_; }
  void setCornerRadius(double radius);

  // The opacity drawn now: 1 enabled, 0.5 disabled, in between while it changes.
  double alpha() const { return alpha_; }

  QSize sizeHint() const override { return {192, 44}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  bool onlyBorder_ = false;
  double borderWidth_ = 2.0;
  std::optional<QColor> background_;
  std::optional<double> cornerRadius_;
  double alpha_ = 1.0;
  QVariantAnimation fade_;
};
