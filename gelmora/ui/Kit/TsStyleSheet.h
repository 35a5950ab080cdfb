#pragma once
// The application's colours, fonts and standard heights. One shared instance, reached as
// app().style(); the getters keep no state and may be read from any thread.
#include <QColor>
#include <QFont>

class TsStyleSheet {
 public:
  static TsStyleSheet& sharedInstance();

  QColor gradientDark() const;
  QColor gradientLight() const;
  QColor darkGray() const;
  QColor lightGray() const;
  QColor darkWhite() const;
  QColor backgroundColor() const;
  QColor lightBlue() const;

  double bigButtonHeight() const { return 55; }
  double textFieldHeight() const { return 35; }

  // The brand face at `size` pixels (one point of the design is one logical pixel), falling back
  // to fonts Debian ships, CJK included.
  QFont fontWithSize(double size) const;
  QFont h1() const { return fontWithSize(21); }
  QFont h2() const { return fontWithSize(17); }
  QFont h3() const { return fontWithSize(15); }
  QFont h4() const { return fontWithSize(13); }

 private:
  TsStyleSheet() = default;
};
