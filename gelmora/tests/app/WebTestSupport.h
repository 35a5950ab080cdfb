#pragma once
// Web page tests: a brand web host and a foreign one (both web stand-ins serving the pages of
// standin/web/pages), the brand environment pointing WebDomain and H5Domain at the first, and
// helpers that run a script in a page and wait for its answer.
#include <gtest/gtest.h>

#include <QDir>
#include <QWebEnginePage>
#include <memory>
#include <string>

#include "../ui/UiTestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "standin/HttpStandin.h"
#include "standin/WebStandin.h"

namespace gelmora::app::test {

class BrandEnvironment : public AppEnvironment {
 public:
  void setDomain(const std::string& key, std::string host) { assign(key, std::move(host)); }
};

class WebHosts {
 public:
  // Starts both hosts and installs the brand environment.
  void start() {
    for (auto* web : {&brand, &foreign}) {
      ASSERT_TRUE(web->start());
      standin::WebStandin::addDirectory(*web, STANDIN_WEB_PAGES);
    }
    env = std::make_shared<BrandEnvironment>();
    env->setDomain("WebDomain", brand.hostPort());
    env->setDomain("H5Domain", brand.hostPort());
    previous = AppEnvironment::currentEnvironment();
    AppEnvironment::setCurrentEnvironment(env);
  }
  void stop() {
    AppEnvironment::setCurrentEnvironment(previous);
    brand.stop();
    foreign.stop();
  }
  std::string brandUrl(const std::string& path) const { return brand.baseUrl() + path; }
  std::string foreignUrl(const std::string& path) const { return foreign.baseUrl() + path; }
  // Requests for `path` the host has seen, with their queries.
  static std::vector<std::string> queries(const standin::HttpStandin& web,
                                          const std::string& path) {
    std::vector<std::string> out;
    for (const auto& r : web.requests())
      if (r.path == path) out.push_back(r.query);
    return out;
  }

  standin::HttpStandin brand, foreign;
  std::shared_ptr<BrandEnvironment> env;
  std::shared_ptr<AppEnvironment> previous;
};

// Runs `script` in the page's main world and answers its value as text ("" on time-out).
inline QString run(QWebEnginePage* page, const QString& script) {
  QString out;
  bool done = false;
  page->runJavaScript(script, [&](const QVariant& v) {
    out = v.toString();
    done = true;
  });
  EXPECT_TRUE(gelmora::ui::test::waitFor([&] { return done; }, 10000)) << script.toStdString();
  return out;
}

// Waits until the page's title is `title`.
inline bool waitForTitle(QWebEnginePage* page, const QString& title, int timeoutMs = 20000) {
  return gelmora::ui::test::waitFor([&] { return page->title() == title; }, timeoutMs);
}

// Waits until a loaded page has drawn `colour` at `at` of `widget`; answers the last picture.
inline QImage waitForColour(QWidget* widget, QPoint at, const QColor& colour, bool* ok,
                            int timeoutMs = 20000) {
  QImage img;
  *ok = gelmora::ui::test::waitFor(
      [&] {
        img = widget->grab().toImage();
        return img.pixelColor(at) == colour;
      },
      timeoutMs);
  return img;
}

inline void saveScreenshot(const QImage& img, const char* name) {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  if (dir.isEmpty()) return;
  QDir().mkpath(QString::fromLocal8Bit(dir));
  img.save(QString::fromLocal8Bit(dir) + "/" + name);
}

}  // namespace gelmora::app::test
