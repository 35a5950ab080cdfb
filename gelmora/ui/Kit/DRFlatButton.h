#pragma once
// A flat button whose look is four colours (border, background, image, title) that change with
// its state: 0 off, 1 on, -1 mixed; state 1 takes the highlight colours. Not momentary, each
// click flips the state; momentary, it is on only while pressed. The image is a stencil shown in
// the image colour. A press that leaves the button before its release is cancelled: no click,
// state restored. Disabled, it lets clicks through to what lies beneath.
#include <QAbstractButton>
#include <QColor>
#include <QPixmap>
#include <QPointF>
#include <QVariantAnimation>
#include <array>
#include <memory>
#include <optional>

class DRFlatButton : public QAbstractButton {
  Q_OBJECT
 public:
  // Where the image sits relative to the title.
  enum ImagePosition {
    NoImage = 0,
    ImageOnly = 1,
    ImageLeft = 2,
    ImageRight = 3,
    ImageBelow = 4,
    ImageAbove = 5,
    ImageOverlaps = 6,
    ImageLeading = 7,
    ImageTrailing = 8,
  };

  explicit DRFlatButton(QWidget* parent = nullptr);
  ~DRFlatButton() override;

  void setTitle(const QString& title) { setText(title); }
  QString title() const { return text(); }
  void setImage(const QPixmap& image);
  QPixmap image() const { return image_; }
  void setImagePosition(int position);
  int imagePosition() const { return imagePosition_; }
  // The image and title form one centred group instead of sitting at opposite edges.
  void setImageHugsTitle(bool on);
  bool imageHugsTitle() const { return hugs_; }
  void setSpacing(double spacing);
  double spacing() const { return spacing_; }

  int state() const { return state_; }
  void setState(int state);
  bool momentary() const { return momentary_; }
  void setMomentary(bool on);
  // In seconds of the design; 0 means the platform's default (0.25 s). Only stored.
  double onAnimateDuration() const { return onDuration_; }
  void setOnAnimateDuration(double s) { onDuration_ = s; }
  double offAnimateDuration() const { return offDuration_; }
  void setOffAnimateDuration(double s) { offDuration_ = s; }
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double r);
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double w);

  // None is transparent.
  using Color = std::optional<QColor>;
  void setBorderNormalColor(Color c);
  void setBorderHighlightColor(Color c);
  void setBackgroundNormalColor(Color c);
  void setBackgroundHighlightColor(Color c);
  void setImageNormalColor(Color c);
  void setImageHighlightColor(Color c);
  void setTitleNormalColor(Color c);
  void setTitleHighlightColor(Color c);

  // The colours drawn now, and how many colour changes are running.
  enum Part { Border = 0, Background = 1, ImageColor = 2, TitleColor = 3 };
  QColor shownColor(Part part) const { return shown_[part]; }
  int runningAnimations() const;
  // Where the image and the title are drawn (top-left origin), none when not drawn.
  std::optional<QPointF> imageOrigin() const { return imageOrigin_; }
  std::optional<QRectF> titleRect() const;

  void animateColorWithState(int state);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool hitButton(const QPoint& pos) const override;

 private:
  void setupImageLayer();
  void flip();
  // The origins of the layout table for the current sizes.
  std::pair<QPointF, QPointF> origins(QSizeF imageSize, QSizeF titleSize) const;
  QSizeF titleSize() const;
  void animatePart(Part part, const QColor& target, double seconds);

  QPixmap image_;
  int imagePosition_ = NoImage;
  bool hugs_ = false;
  double spacing_ = 0;
  int state_ = 0;
  bool momentary_ = false;
  bool mouseDown_ = false;
  double onDuration_ = 0;
  double offDuration_ = 0;
  double cornerRadius_ = 0;
  double borderWidth_ = 0;
  std::array<Color, 4> normal_{};
  std::array<Color, 4> highlight_{};
  std::array<QColor, 4> shown_{};
  std::array<std::unique_ptr<QVariantAnimation>, 4> animations_{};
  std::optional<QPointF> imageOrigin_;
};
