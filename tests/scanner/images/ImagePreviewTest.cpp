// Previews and image metadata of a record.
#include "ImageFixtures.h"
#include "scanner/ImageBrowser/Model/AAPLImageFile.h"
#include "support/TestSupport.h"

#include <QThreadPool>
#include <gtest/gtest.h>

using namespace zuvo;
using namespace std::chrono_literals;

namespace {

ImageFileRef recordFor(const QString& path) { return AAPLImageFile::create(QUrl::fromLocalFile(path)); }

QSize previewOf(const ImageFileRef& f) {
  f->requestPreviewImage();
  if (!test::waitUntil([&] { return !f->previewImage().isNull(); }, 20s)) return {};
  return f->previewImage().size();
}

}  // namespace

TEST(ImagePreview, FitsTheLongerSideInto250WithOrientationApplied) {
  const QString dir = test::makeTempDir();
  ASSERT_TRUE(test::writeTestImage(dir + "/page.jpeg", QSize(2480, 3508)));
  ASSERT_TRUE(test::writeFile(dir + "/turned.jpeg", test::jpegWithOrientation(QSize(400, 300), 6)));
  ASSERT_TRUE(test::writeTestImage(dir + "/small.png", QSize(120, 80), "png"));
  ASSERT_TRUE(test::writeTestImage(dir + "/page.tiff", QSize(600, 300), "tiff"));

  auto page = recordFor(dir + "/page.jpeg");
  const QSize p = previewOf(page);
  EXPECT_NEAR(p.width(), 177, 1);
  EXPECT_EQ(p.height(), 250);
  EXPECT_EQ(page->dimensionsDescription(), "2480 x 3508");

  auto turned = recordFor(dir + "/turned.jpeg");
  const QSize t = previewOf(turned);
  EXPECT_NEAR(t.width(), 188, 1);
  EXPECT_EQ(t.height(), 250);
  EXPECT_EQ(turned->dimensionsDescription(), "400 x 300");
  // Turned clockwise: the red top-left corner is now at the top right.
  const QImage img = turned->previewImage();
  const QColor topRight = img.pixelColor(img.width() - 3, 3);
  EXPECT_GT(topRight.red(), 200);
  EXPECT_LT(topRight.green(), 80);

  EXPECT_EQ(previewOf(recordFor(dir + "/small.png")), QSize(120, 80));  // never enlarged
  EXPECT_EQ(previewOf(recordFor(dir + "/page.tiff")), QSize(250, 125));
}

TEST(ImagePreview, UnreadableImageHasNoPreviewAndNoSize) {
  const QString dir = test::makeTempDir();
  ASSERT_TRUE(test::writeFile(dir + "/corrupt.jpeg", "\xff\xd8\xff garbage"));
  auto f = recordFor(dir + "/corrupt.jpeg");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->fileType(), "image/jpeg");
  EXPECT_FALSE(f->localizedTypeDescription().isEmpty());
  EXPECT_EQ(f->fileSize(), 11u);
  f->requestPreviewImage();
  AAPLImageFile::previewQueue()->waitForDone();
  test::spin(100ms);
  EXPECT_TRUE(f->previewImage().isNull());
  EXPECT_EQ(f->dimensionsDescription(), "0 x 0");
  EXPECT_EQ(f->filenameWithoutExtension(), "corrupt");
}

TEST(ImagePreview, ArrivesOnlyForARecordThatStillExists) {
  const QString dir = test::makeTempDir();
  ASSERT_TRUE(test::writeTestImage(dir + "/a.jpeg", QSize(1200, 900)));
  int changes = 0;
  {
    auto f = recordFor(dir + "/a.jpeg");
    QObject::connect(f.get(), &AAPLImageFile::previewImageChanged, [&] { ++changes; });
    f->requestPreviewImage();
    f->requestPreviewImage();  // not merged: loaded twice
    ASSERT_TRUE(test::waitUntil([&] { return changes == 2; }, 20s));
    EXPECT_EQ(f->previewImage().size(), QSize(250, 188));
    f->requestPreviewImage();  // already there
    test::spin(200ms);
    EXPECT_EQ(changes, 2);
  }
  // Dropped before its preview arrives: nothing to publish to, nothing crashes.
  for (int i = 0; i < 5; ++i) recordFor(dir + "/a.jpeg")->requestPreviewImage();
  AAPLImageFile::previewQueue()->waitForDone();
  test::spin(100ms);
}
