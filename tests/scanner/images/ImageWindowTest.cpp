// The single-image window, offscreen: write-back at close and Save, tools, zoom, Open.
#include "ImageFixtures.h"
#include "platform/core/TestHooks.h"
#include "scanner/ImageBrowser/Model/AAPLImageCollection.h"
#include "scanner/ImageBrowser/Model/FileTags.h"
#include "scanner/ImageWindow/ImageEditPanel.h"
#include "scanner/ImageWindow/ImageView.h"
#include "scanner/ImageWindow/ImageWindow.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QJsonArray>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace zuvo;
using namespace std::chrono_literals;

namespace {

struct Written {
  QByteArray format;
  QSize size;
  QImage image;
  QImageIOHandler::Transformations transformation;
};

Written readBack(const QString& path) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  Written w{reader.format(), reader.size(), {}, reader.transformation()};
  w.image = reader.read();
  return w;
}

QStringList entries(const QString& dir) {
  return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

bool isRed(const QColor& c) { return c.red() > 180 && c.green() < 100 && c.blue() < 100; }

class ImageWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = test::makeTempDir();
    page = dir + "/Scan 1.jpeg";
    ASSERT_TRUE(test::writeTestImage(page, QSize(640, 480), "jpeg", 300));
    alertLog = dir + "/../alerts-" + QFileInfo(dir).fileName() + ".jsonl";
    zuvo::testhooks::setAlertLogFile(alertLog);
  }
  void TearDown() override {
    if (window) window->close();
    test::waitUntil([&] { return window.isNull(); }, 5s);
    zuvo::testhooks::setAlertLogFile({});
  }
  void open(const QString& path) {
    window = ImageWindow::openFile(path);
    ASSERT_FALSE(window.isNull());
    ASSERT_TRUE(test::waitUntil([&] { return window->isVisible(); }));
  }
  // Closes as the user does and waits until the window has deleted itself.
  void closeWindow() {
    window->close();
    ASSERT_TRUE(test::waitUntil([&] { return window.isNull(); }));
  }
  QPoint at(double x, double y) const { return window->imageView()->mapFromScene(QPointF(x, y)); }
  void drag(QPoint from, QPoint to) {
    QWidget* vp = window->imageView()->viewport();
    QTest::mousePress(vp, Qt::LeftButton, {}, from);
    QTest::mouseMove(vp, (from + to) / 2);
    QTest::mouseMove(vp, to);
    QTest::mouseRelease(vp, Qt::LeftButton, {}, to);
  }

  QString dir, page, alertLog;
  QPointer<ImageWindow> window;
};

}  // namespace

TEST_F(ImageWindowTest, ClosingUneditedKeepsFormatSizeResolutionAndTags) {
  const bool tagged = test::setTags(page, "Red, Blue");
  ASSERT_TRUE(test::writeTestImage(dir + "/page.png", QSize(90, 60), "png", 150));
  ASSERT_TRUE(test::writeTestImage(dir + "/page.tiff", QSize(90, 60), "tiff", 200));
  ASSERT_TRUE(test::writeFile(dir + "/turned.jpeg", test::jpegWithOrientation(QSize(400, 300), 6)));
  const struct {
    QString name;
    QByteArray format;
    QSize size;
    int dpi;
  } cases[] = {{"Scan 1.jpeg", "jpeg", {640, 480}, 300},
               {"page.png", "png", {90, 60}, 150},
               {"page.tiff", "tiff", {90, 60}, 200},
               {"turned.jpeg", "jpeg", {300, 400}, 300}};  // pixels turned upright, no tag left
  for (const auto& c : cases) {
    const QString path = dir + "/" + c.name;
    open(path);
    EXPECT_EQ(window->windowTitle(), c.name);
    QStringList closedWith;
    QObject::connect(window, &ImageWindow::closed, [&](const QString& p) { closedWith << p; });
    closeWindow();
    EXPECT_EQ(closedWith, QStringList{path});
    const Written w = readBack(path);
    EXPECT_EQ(w.format, c.format) << c.name.toStdString();
    EXPECT_EQ(w.size, c.size) << c.name.toStdString();
    EXPECT_NEAR(w.image.dotsPerMeterX() * 0.0254, c.dpi, 0.5) << c.name.toStdString();
    EXPECT_NEAR(w.image.dotsPerMeterY() * 0.0254, c.dpi, 0.5) << c.name.toStdString();
    EXPECT_EQ(w.transformation, QImageIOHandler::TransformationNone) << c.name.toStdString();
  }
  // The turned page: its red top-left corner now stands at the top right.
  const QImage turned = readBack(dir + "/turned.jpeg").image;
  EXPECT_TRUE(isRed(turned.pixelColor(turned.width() - 10, 10)));
  EXPECT_EQ(entries(dir), (QStringList{"Scan 1.jpeg", "page.png", "page.tiff", "turned.jpeg"}));  // no temporary file
  if (tagged) {
    EXPECT_EQ(readTagNames(page), (QStringList{"Red", "Blue"}));
  }
}

TEST_F(ImageWindowTest, ControlsAndZoomSteps) {
  open(page);
  ImageView* view = window->imageView();
  EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(window->butSave()->text(), "Save");
  EXPECT_TRUE(window->butSave()->isDefault());
  QStringList texts;
  for (auto* b : window->findChildren<QPushButton*>()) texts << b->text();
  for (const char* t : {"Open...", "Save", "Move", "Select", "Crop", "Rotate", "Annotate", "Zoom Out", "Zoom In",
                        "Actual Size", "Zoom to Fit"})
    EXPECT_TRUE(texts.contains(t)) << t;
  EXPECT_EQ(view->toolMode(), ImageView::ToolModeMove);
  EXPECT_TRUE(view->doubleClickOpensImageEditPanel());

  // Fitted at first and after each resize.
  const auto fit = [&] {
    const QSize vp = view->viewport()->size();
    return std::min(vp.width() / 640.0, vp.height() / 480.0);
  };
  EXPECT_NEAR(view->zoomFactor(), fit(), 1e-9);
  window->resize(window->width() + 120, window->height() + 40);
  ASSERT_TRUE(test::waitUntil([&] { return std::abs(view->zoomFactor() - fit()) < 1e-9; }));

  window->zoomGroup()->button(2)->click();  // actual size
  EXPECT_DOUBLE_EQ(view->zoomFactor(), 1.0);
  for (int i = 0; i < 3; ++i) window->zoomGroup()->button(1)->click();
  EXPECT_NEAR(view->zoomFactor(), 2.828428, 1e-5);
  for (int i = 0; i < 3; ++i) window->doZoom(0);
  EXPECT_NEAR(view->zoomFactor(), 1.0, 1e-5);
  const double before = view->zoomFactor();
  window->doZoom(4);
  window->doZoom(-1);
  EXPECT_EQ(view->zoomFactor(), before);
  window->doZoom(3);
  EXPECT_NEAR(view->zoomFactor(), fit(), 1e-9);

  for (int i = 0; i <= 4; ++i) {
    window->toolGroup()->button(i)->click();
    EXPECT_EQ(view->toolMode(), ImageView::ToolMode(i));
  }
  window->switchToolMode(5);
  window->switchToolMode(-1);
  EXPECT_EQ(view->toolMode(), ImageView::ToolModeAnnotate);
  EXPECT_TRUE(window->toolGroup()->button(4)->isChecked());
}

TEST_F(ImageWindowTest, CropRotateAndPanelEditsAreInTheWrittenFile) {
  const bool tagged = test::setTags(page, "Red");
  open(page);
  window->doZoom(2);
  // Select keeps a rectangle and changes nothing.
  window->switchToolMode(1);
  drag(at(10, 10), at(100, 50));
  EXPECT_NEAR(window->imageView()->selection().width(), 90, 2);
  EXPECT_EQ(window->imageView()->image().size(), QSize(640, 480));
  // Crop to the top-left quarter, then a click of the rotate tool turns a quarter clockwise.
  window->switchToolMode(2);
  drag(at(0, 0), at(320, 240));
  EXPECT_EQ(window->imageView()->image().size(), QSize(320, 240));
  window->switchToolMode(3);
  QTest::mouseClick(window->imageView()->viewport(), Qt::LeftButton, {}, at(100, 100));
  EXPECT_EQ(window->imageView()->image().size(), QSize(240, 320));
  // A stroke drawn with the annotate tool.
  window->switchToolMode(4);
  window->doZoom(2);
  drag(at(20, 200), at(200, 200));
  EXPECT_TRUE(isRed(window->imageView()->image().pixelColor(110, 200)));

  window->butSave()->click();
  ASSERT_TRUE(test::waitUntil([&] { return window.isNull(); }));
  const Written w = readBack(page);
  EXPECT_EQ(w.format, "jpeg");
  EXPECT_EQ(w.size, QSize(240, 320));
  EXPECT_TRUE(isRed(w.image.pixelColor(230, 10)));  // the red corner, turned to the top right
  EXPECT_TRUE(isRed(w.image.pixelColor(110, 200)));
  EXPECT_EQ(entries(dir), QStringList{"Scan 1.jpeg"});
  if (tagged) {
    EXPECT_EQ(readTagNames(page), QStringList{"Red"});
  }
}

TEST_F(ImageWindowTest, EditPanelOpensOnDoubleClickAndRendersItsValues) {
  open(page);
  QTest::mouseDClick(window->imageView()->viewport(), Qt::LeftButton, {}, at(300, 200));
  ASSERT_TRUE(test::waitUntil([&] { return window->editPanel() && window->editPanel()->isVisible(); }));
  ImageEditPanel* panel = window->editPanel();
  panel->rotation()->setValue(-90);
  panel->brightness()->setValue(50);
  QPushButton* apply = nullptr;
  for (auto* b : panel->findChildren<QPushButton*>())
    if (b->text() == "Apply") apply = b;
  ASSERT_NE(apply, nullptr);
  apply->click();
  const QImage edited = window->imageView()->image();
  EXPECT_EQ(edited.size(), QSize(480, 640));
  const QColor blue = edited.pixelColor(edited.width() - 10, 10);  // blue bottom-left, turned anticlockwise
  EXPECT_GT(blue.red(), 100);
  EXPECT_GT(blue.blue(), 240);
  EXPECT_EQ(panel->rotation()->value(), 0);

  // A free angle lands on a white canvas.
  window->imageView()->rotateImage(30);
  const QImage free = window->imageView()->image();
  EXPECT_GT(free.width(), 480);
  EXPECT_EQ(free.pixelColor(1, 1), QColor(Qt::white));
  closeWindow();
  EXPECT_EQ(readBack(page).size, free.size());
}

TEST_F(ImageWindowTest, FailedSaveKeepsThePageTheWindowAndItsEdits) {
  open(page);
  const QByteArray original = test::readFile(page);
  window->imageView()->rotateImage(90);

  // The write fails half-way (the file size limit): the page keeps its bytes.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 512;  // below any JPEG of the page
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  window->butSave()->click();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  test::spin(100ms);
  ASSERT_FALSE(window.isNull());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->imageView()->image().size(), QSize(480, 640));
  EXPECT_EQ(test::readFile(page), original);
  EXPECT_EQ(entries(dir), QStringList{"Scan 1.jpeg"});
  auto alerts = test::readJsonLines(alertLog);
  ASSERT_EQ(alerts.size(), 1);
  EXPECT_EQ(alerts[0]["buttons"].toArray().at(0).toString(), "Ok");

  // A folder where the file should be written: the same.
  ASSERT_TRUE(QFile::remove(page));
  ASSERT_TRUE(QDir(dir).mkdir("Scan 1.jpeg"));
  window->butSave()->click();
  test::spin(100ms);
  ASSERT_FALSE(window.isNull());
  EXPECT_TRUE(QFileInfo(page).isDir());
  EXPECT_EQ(test::readJsonLines(alertLog).size(), 2);
  closeWindow();  // logged; the folder stays a folder
  EXPECT_TRUE(QFileInfo(page).isDir());
}

TEST_F(ImageWindowTest, APageDeletedWhileOpenStaysDeleted) {
  open(page);
  window->imageView()->rotateImage(90);
  ASSERT_TRUE(QFile::remove(page));
  closeWindow();
  EXPECT_FALSE(QFile::exists(page));
  EXPECT_TRUE(entries(dir).isEmpty());
}

TEST_F(ImageWindowTest, UnreadablePageOpensEmptyAndIsNeverWritten) {
  ASSERT_TRUE(test::writeFile(page, "not an image"));
  open(page);
  EXPECT_FALSE(window->imageView()->hasImage());
  window->butSave()->click();
  test::spin(100ms);
  ASSERT_FALSE(window.isNull()) << "Save without an image leaves the window open";
  closeWindow();
  EXPECT_EQ(test::readFile(page), QByteArray("not an image"));
}

// Said plainly, never an empty window whose Save does nothing; the page is left as it is.
TEST_F(ImageWindowTest, PageTooLargeToEditIsSaidSoAndNeverWritten) {
  const QByteArray lying = test::withFrameSize(test::encodeImage(test::testPicture(QSize(64, 64)), "jpeg"), 65000, 65000);
  ASSERT_TRUE(test::writeFile(page, lying));
  open(page);
  ASSERT_TRUE(test::waitUntil([&] { return !test::readJsonLines(alertLog).isEmpty(); }));
  const auto alerts = test::readJsonLines(alertLog);
  ASSERT_EQ(alerts.size(), 1);
  EXPECT_EQ(alerts[0]["message"].toString(), "The page is too large to edit.");
  EXPECT_TRUE(alerts[0]["informative"].toString().contains("\u201cScan 1.jpeg\u201d has 65000 x 65000 pixels"))
      << alerts[0]["informative"].toString().toStdString();
  EXPECT_FALSE(window->imageView()->hasImage());
  closeWindow();
  EXPECT_EQ(test::readFile(page), lying);
}

TEST_F(ImageWindowTest, OpenSheetChoosesAnImageThatIsWrittenIntoThePageFile) {
  const QString other = dir + "/other.tiff";
  ASSERT_TRUE(test::writeTestImage(other, QSize(120, 90), "tiff", 200));
  open(page);
  QPushButton* openButton = nullptr;
  for (auto* b : window->findChildren<QPushButton*>())
    if (b->text() == "Open...") openButton = b;
  ASSERT_NE(openButton, nullptr);
  openButton->click();
  QFileDialog* sheet = nullptr;
  ASSERT_TRUE(test::waitUntil([&] {
    sheet = window->findChild<QFileDialog*>();
    return sheet && sheet->isVisible();
  }));
  EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
  EXPECT_EQ(sheet->nameFilters(), QStringList{ImageWindow::kOpenNameFilter});
  sheet->selectFile(other);
  QMetaObject::invokeMethod(sheet, "accept");
  ASSERT_TRUE(test::waitUntil([&] { return window->imageView()->image().size() == QSize(120, 90); }));
  EXPECT_EQ(window->windowTitle(), "other.tiff");
  closeWindow();
  EXPECT_TRUE(test::readFile(page).startsWith("II*") || test::readFile(page).startsWith("MM"));
  EXPECT_EQ(readBack(page).format, "tiff");
  EXPECT_EQ(readBack(page).size, QSize(120, 90));
  EXPECT_EQ(readBack(other).size, QSize(120, 90));
}

TEST_F(ImageWindowTest, AWrittenBackPageIsRefreshedInTheCollection) {
  ASSERT_TRUE(test::writeTestImage(dir + "/Scan 2.jpeg", QSize(64, 48)));
  AAPLImageCollection collection(QUrl::fromLocalFile(dir));
  collection.startOrRestartFileTreeScan();
  ASSERT_TRUE(test::waitUntil([&] { return collection.imageFiles().size() == 2; }));
  const ImageFileRef before = collection.imageFiles().at(0);
  ASSERT_EQ(before->filename(), "Scan 1.jpeg");
  open(page);
  window->imageView()->rotateImage(90);
  closeWindow();
  ASSERT_TRUE(test::waitUntil([&] { return collection.imageFiles().at(0) != before; }, 15s));
  EXPECT_EQ(collection.imageFiles().at(0)->filename(), "Scan 1.jpeg");
  EXPECT_EQ(collection.imageFiles().at(0)->dimensionsDescription(), "480 x 640");
  EXPECT_EQ(collection.imageFiles().size(), 2);  // the save's temporary file is never listed
}
