#pragma once
// The about panel of the account page: the application's version and three lines. Closing it
// hides it and takes it out of its parent (the page makes a new one each time).
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

class TsAboutView : public QWidget {
  Q_OBJECT
 public:
  // `version`: the version shown; empty: app().version().
  explicit TsAboutView(QWidget* parent = nullptr,
                       std::function<std::optional<std::string>()> version = {});

  QLabel* versionTF;
  QLabel* QQTF;
  QLabel* wcTF;
  QLabel* mobileTF;
  QPushButton* closeButton;

 public Q_SLOTS:
  void close();

 protected:
  void resizeEvent(QResizeEvent* event) override;
};
