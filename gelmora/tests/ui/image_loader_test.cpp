// The image loader against the web stand-in: one request for two labels, and every bad answer
// leaving the label as it was.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>

#include "UiTestSupport.h"
#include "standin/WebStandin.h"
#include "ui/General/Helper/ImageLoader.h"

using gelmora::ui::ImageLoader;
using gelmora::ui::test::waitFor;

namespace {

std::string png(int w, int h) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(QColor(251, 22, 88));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes.toStdString();
}

class ImageLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::WebStandin::addFile(web, "/a.png", png(4, 4), "image/png");
    standin::WebStandin::addFile(web, "/garbage.png", "not a picture at all", "image/png");
    const std::string good = png(4, 4);
    standin::WebStandin::addFile(web, "/truncated.png", good.substr(0, good.size() / 2),
                                 "image/png");
    standin::WebStandin::addFile(web, "/huge.png", std::string(ImageLoader::kMaxBytes + 10, 'x'),
                                 "image/png");
    standin::WebStandin::addFile(web, "/wide.png", png(ImageLoader::kMaxSide + 1, 1), "image/png");
    ASSERT_TRUE(web.start());
  }
  QString url(const char* path) { return QString::fromStdString(web.baseUrl() + path); }

  standin::HttpStandin web;
  ImageLoader loader;
};

TEST_F(ImageLoaderTest, TwoLabelsOneRequest) {
  QLabel a, b;
  a.resize(8, 8);
  loader.setImage(&a, url("/a.png"));
  loader.setImage(&b, url("/a.png"));
  ASSERT_TRUE(waitFor([&] { return !a.pixmap().isNull() && !b.pixmap().isNull(); }));
  EXPECT_EQ(web.requestCount(), 1u);
  EXPECT_EQ(a.pixmap().size(), QSize(8, 8));
  QLabel c;  // from memory afterwards
  loader.setImage(&c, url("/a.png"));
  EXPECT_FALSE(c.pixmap().isNull());
  EXPECT_EQ(loader.requestCount(), 1);
}

TEST_F(ImageLoaderTest, BadAnswersLeaveTheLabelAlone) {
  const QPixmap before = QPixmap::fromImage(QImage(2, 2, QImage::Format_RGB32));
  for (const char* path :
       {"/missing.png", "/garbage.png", "/truncated.png", "/huge.png", "/wide.png"}) {
    SCOPED_TRACE(path);
    QLabel label;
    label.setPixmap(before);
    const size_t sent = web.requestCount();
    loader.setImage(&label, url(path));
    ASSERT_TRUE(web.waitForRequests(sent + 1));
    QTest::qWait(100);  // the answer is handled
    EXPECT_EQ(label.pixmap().cacheKey(), before.cacheKey());
  }
  // Not http/https: never requested.
  QLabel label;
  const size_t sent = web.requestCount();
  for (const char* bad : {"file:///etc/passwd", "ftp://127.0.0.1/a.png", "", "http://"})
    loader.setImage(&label, bad);
  QTest::qWait(50);
  EXPECT_EQ(web.requestCount(), sent);
  EXPECT_TRUE(label.pixmap().isNull());
}

TEST_F(ImageLoaderTest, LabelDeletedFirst) {
  web.setHold(true);
  auto* label = new QLabel;
  loader.setImage(label, url("/a.png"));
  ASSERT_TRUE(web.waitForHeld(1));
  delete label;
  web.release();
  QLabel later;
  loader.setImage(&later, url("/a.png"));  // shares the request in flight or the cache
  ASSERT_TRUE(waitFor([&] { return !later.pixmap().isNull(); }));
}

}  // namespace
