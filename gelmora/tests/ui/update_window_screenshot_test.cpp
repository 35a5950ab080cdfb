// The self-update window under a real X server with its Qt alerts: saves update-downloading.png
// (a slow download of unknown length under way) and update-failed.png (the failure sheet of a
// wrongly signed archive) for a person to look at, and checks probe pixels and the sheet's three
// buttons.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include "../UpdateTestSupport.h"
#include "UiTestSupport.h"
#include "gelmora/Legacy/Update/UpdateDownload.h"
#include "gelmora/Legacy/Update/UpdateSignature.h"
#include "standin/OlderService.h"
#include "standin/UpdatePackage.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Legacy/updateWindow.h"

using gelmora::ui::updateWindow;
using gelmora::ui::test::waitFor;
using gelmora::update::UpdateDownload;
using standin::OlderService;
using standin::UpdatePackage;

namespace {

QString screenshotDir() {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  return dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString::fromLocal8Bit(dir);
}

QImage save(QWidget* w, const char* name) {
  const QImage shot = w->grab().toImage();
  QDir().mkpath(screenshotDir());
  EXPECT_TRUE(shot.save(screenshotDir() + "/" + name));
  return shot;
}

// Pixels in `area` darker than mid grey: drawn text.
int darkPixels(const QImage& image, QRect area) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (qGray(image.pixel(x, y)) < 128) ++n;
  return n;
}

struct Scene {
  update_test::TempDir cache, root;
  OlderService service;
  gelmora::ui::RecordingProcessControl process;
  gelmora::ui::ScreenRegistry registry;
  std::string dir = root.path + "/gelmora";
  Scene(const std::string& key) {
    ::setenv("XDG_CACHE_HOME", cache.path.c_str(), 1);
    update_test::writeFile(dir + "/bin/gelmora", "v1", 0755);
    update_test::writeFile(dir + "/share/gelmora/install_manifest.txt", "bin/gelmora\n");
    EXPECT_TRUE(service.start());
    const std::string bytes =
        UpdatePackage::zip(UpdatePackage::release({{"share/gelmora/v", std::string(300000, 'v')}}));
    service.putFile(UpdateDownload::kArchivePath, bytes);
    service.putFile(std::string(UpdateDownload::kArchivePath) + ".sig",
                    UpdatePackage::sign(bytes, key));
  }
  updateWindow::Options options() {
    updateWindow::Options o;
    o.usedHost = service.address();
    o.installDir = dir;
    o.helperPath = dir + "/libexec/gelmora/gelmora-update-helper";
    o.context.process = &process;
    o.context.screens = &registry;
    o.steps.needsRights = [](const std::string&) { return false; };
    o.steps.unloadKEXT = [] {};
    return o;
  }
};

TEST(UpdateWindowScreenshot, DownloadingAndFailed) {
  {
    Scene scene(UpdatePackage::testKeyPath());
    OlderService::Script slow;
    slow.mode = OlderService::Mode::Trickle;
    slow.delay = std::chrono::milliseconds(2);
    scene.service.setFileScript(UpdateDownload::kArchivePath, slow);
    updateWindow window(scene.options());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    // Chunked, so the length is unknown: the bar is busy and the text counts KiB up to -1.
    ASSERT_TRUE(waitFor(
        [&] {
          const QString t = window.labeInitData()->text();
          return t.endsWith(QStringLiteral("/-1)")) && !t.contains(QStringLiteral("(0/"));
        },
        20000));
    EXPECT_EQ(window.NowProgressBar()->maximum(), 0);
    const QImage shot = save(&window, "update-downloading.png");
    EXPECT_EQ(shot.pixelColor(5, 5), QColor(Qt::white));
    EXPECT_GT(darkPixels(shot, window.labeInitData()->geometry()), 30);
    EXPECT_TRUE(window.labeInitData()->text().startsWith(QStringLiteral("开始下载...(")));
    window.close();
    ASSERT_TRUE(waitFor([&] { return !window.isDownloading(); }, 10000));
  }
  if (std::string(gelmora::update::UpdateSignature::builtInKey())
          .find(UpdatePackage::testPublicKeyPem().substr(27, 40)) == std::string::npos)
    GTEST_SKIP() << "configured with another update key";
  Scene scene(UpdatePackage::otherKeyPath());
  updateWindow window(scene.options());
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QMessageBox* sheet = nullptr;
  ASSERT_TRUE(waitFor(
      [&] {
        sheet = window.findChild<QMessageBox*>();
        return sheet && sheet->isVisible();
      },
      20000));
  QTest::qWait(50);  // one paint of the sheet
  QStringList titles;
  for (QAbstractButton* b : sheet->buttons()) titles << b->text();
  EXPECT_EQ(titles.size(), 3);
  for (const char* t : {"意见反馈", "退出程序", "跳过此版本"})
    EXPECT_TRUE(titles.contains(QString::fromUtf8(t))) << t;
  EXPECT_EQ(sheet->defaultButton()->text(), QStringLiteral("意见反馈"));
  EXPECT_TRUE(sheet->informativeText().contains(QStringLiteral("does not match")));
  save(&window, "update-failed-window.png");
  const QImage shot = save(sheet, "update-failed.png");
  EXPECT_GT(darkPixels(shot, QRect(0, 0, shot.width(), shot.height() / 2)), 100);
  // "退出程序" closes the window and opens nothing.
  for (QAbstractButton* b : sheet->buttons())
    if (b->text() == QStringLiteral("退出程序")) b->click();
  ASSERT_TRUE(waitFor([&] { return !window.isVisible(); }));
  EXPECT_TRUE(scene.process.exits.empty());
}

}  // namespace
