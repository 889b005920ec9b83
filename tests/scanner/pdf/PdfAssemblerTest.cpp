// The PDF of a scan's pages, read back with poppler's tools.
#include "scanner/PdfAssembler.h"

#include "../images/ImageFixtures.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QRegularExpression>

#include <functional>
#include <random>

using namespace zuvo;
using zuvo::test::readFile;
using zuvo::test::withFrameSize;
using zuvo::test::runProgram;
using zuvo::test::writeFile;

namespace {

QImage noise(int w, int h, QImage::Format format, unsigned seed = 1) {
  QImage image(w, h, format);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y) {
    uchar* line = image.scanLine(y);
    for (qsizetype i = 0; i < image.bytesPerLine(); ++i) line[i] = uchar(rng());
  }
  return image;
}

QByteArray encoded(const QImage& image, const char* format, int dpi = 0,
                   QImageIOHandler::Transformations turn = QImageIOHandler::TransformationNone) {
  QImage copy = image;
  if (dpi > 0) {
    copy.setDotsPerMeterX(qRound(dpi / 0.0254));
    copy.setDotsPerMeterY(qRound(dpi / 0.0254));
  }
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, format);
  writer.setQuality(90);
  writer.setTransformation(turn);
  EXPECT_TRUE(writer.write(copy)) << writer.errorString().toStdString();
  return buffer.data();
}

quint16 be16(const QByteArray& b, qsizetype at) { return quint16(uchar(b[at]) << 8 | uchar(b[at + 1])); }

// Qt's JPEG writer starts with SOI and a JFIF segment: its density unit is at 13, the
// densities at 14 and 16.
QByteArray withJfifDensity(QByteArray jpeg, int unit, int x, int y) {
  EXPECT_EQ(jpeg.mid(6, 5), QByteArray("JFIF\0", 5));
  jpeg[13] = char(unit);
  jpeg[14] = char(x >> 8), jpeg[15] = char(x);
  jpeg[16] = char(y >> 8), jpeg[17] = char(y);
  return jpeg;
}

QByteArray withoutJfif(QByteArray jpeg) { return jpeg.remove(2, be16(jpeg, 4) + 2); }

// An EXIF block (little-endian TIFF) with the orientation and, when given, a resolution in
// dots per inch, put after the JFIF segment.
QByteArray withExif(QByteArray jpeg, int orientation, int dpi = 0) {
  QByteArray tiff("II*\0\x08\0\0\0", 8);
  const auto u16 = [&](int v) { tiff += char(v & 0xFF), tiff += char(v >> 8); };
  const auto u32 = [&](quint32 v) { u16(int(v & 0xFFFF)), u16(int(v >> 16)); };
  const int entries = dpi ? 4 : 1;
  u16(entries);
  const quint32 rationals = 8 + 2 + entries * 12 + 4;
  u16(274), u16(3), u32(1), u16(orientation), u16(0);
  if (dpi) {
    u16(282), u16(5), u32(1), u32(rationals);
    u16(283), u16(5), u32(1), u32(rationals + 8);
    u16(296), u16(3), u32(1), u16(2), u16(0);
  }
  u32(0);
  if (dpi) u32(quint32(dpi)), u32(1), u32(quint32(dpi)), u32(1);
  QByteArray segment = QByteArray("Exif\0\0", 6) + tiff;
  const int length = int(segment.size()) + 2;
  segment.prepend(QByteArray{"\xFF\xE1"} + char(length >> 8) + char(length & 0xFF));
  const qsizetype after = jpeg.mid(6, 4) == "JFIF" ? 4 + be16(jpeg, 4) : 2;
  return jpeg.insert(after, segment);
}

QByteArray withoutPngChunk(QByteArray png, const char* type) {
  const qsizetype at = png.indexOf(type);
  if (at < 4) return png;
  const qsizetype length = qsizetype(be16(png, at - 4)) << 16 | be16(png, at - 2);
  return png.remove(at - 4, length + 12);
}

struct PdfPage {
  double width = 0, height = 0;
};

std::vector<PdfPage> pdfPages(const QString& pdf) {
  QByteArray out, err;
  EXPECT_EQ(runProgram("pdfinfo", {"-f", "1", "-l", "100000", pdf}, &out, &err), 0);
  EXPECT_EQ(err, "");  // poppler finds nothing to mend (object offsets, lengths)
  std::vector<PdfPage> pages;
  static const QRegularExpression size(R"(Page\s+\d+ size:\s+([\d.]+) x ([\d.]+) pts)");
  for (auto it = size.globalMatch(QString::fromUtf8(out)); it.hasNext();) {
    const auto m = it.next();
    pages.push_back({m.captured(1).toDouble(), m.captured(2).toDouble()});
  }
  static const QRegularExpression count(R"(Pages:\s+(\d+))");
  EXPECT_EQ(count.match(QString::fromUtf8(out)).captured(1).toInt(), int(pages.size()));
  return pages;
}

// The images of the PDF in order, as `pdfimages -all` gives them back (a JPEG's own bytes
// as .jpg, other images as .png).
QStringList pdfImages(const QString& pdf) {
  const QString folder = test::makeTempDir("images");
  EXPECT_EQ(runProgram("pdfimages", {"-all", pdf, folder + "/img"}), 0);
  QStringList files;
  for (const QString& name : QDir(folder).entryList(QDir::Files, QDir::Name)) files << folder + "/" + name;
  return files;
}

QString pdfImageList(const QString& pdf) {
  QByteArray out;
  EXPECT_EQ(runProgram("pdfimages", {"-list", pdf}, &out), 0);
  return QString::fromUtf8(out);
}

class PdfAssemblerTest : public ::testing::Test {
 protected:
  QString dir = test::makeTempDir("scan");
  QString pdf = dir + "/View_1.pdf";

  QString page(const QString& name, const QByteArray& bytes) {
    const QString path = dir + "/" + name;
    EXPECT_TRUE(writeFile(path, bytes));
    return path;
  }
  void assembleOk(const QStringList& pages) {
    QString error;
    ASSERT_TRUE(pdf::assemblePdf(pages, pdf, &error)) << error.toStdString();
  }
  // No PDF and no half-written file beside where it would be.
  void expectNoPdf() {
    EXPECT_FALSE(QFileInfo(pdf).isFile());
    EXPECT_TRUE(QDir(dir).entryList({".View_1*"}, QDir::Files | QDir::Hidden).isEmpty());
  }
};

TEST_F(PdfAssemblerTest, PagesInTheGivenOrderEachJpegWithItsOwnBytes) {
  const QByteArray first = encoded(noise(250, 350, QImage::Format_RGB32, 1), "jpeg", 300);
  const QByteArray second = encoded(noise(90, 60, QImage::Format_RGB32, 2), "png", 72);
  const QByteArray third = encoded(noise(300, 200, QImage::Format_Grayscale8, 3), "jpeg", 150);
  // Given as a feeder scan's numeric order, which is not the names' text order.
  const QStringList pages = {page("Scan 2.jpeg", first), page("Scan 9.png", second), page("Scan 10.jpeg", third)};
  writeFile(pdf, "an earlier PDF");
  assembleOk(pages);

  const auto sizes = pdfPages(pdf);
  ASSERT_EQ(sizes.size(), 3u);
  EXPECT_NEAR(sizes[0].width, 60, 0.01);
  EXPECT_NEAR(sizes[0].height, 84, 0.01);
  EXPECT_NEAR(sizes[1].width, 90, 0.02);  // 72 dpi as PNG stores it, per metre
  EXPECT_NEAR(sizes[2].width, 144, 0.01);
  EXPECT_NEAR(sizes[2].height, 96, 0.01);

  const QStringList images = pdfImages(pdf);
  ASSERT_EQ(images.size(), 3) << images.join(" ").toStdString();
  EXPECT_TRUE(images[0].endsWith(".jpg"));
  EXPECT_TRUE(readFile(images[0]) == first);
  EXPECT_TRUE(images[1].endsWith(".png"));
  EXPECT_EQ(QImage(images[1]).convertToFormat(QImage::Format_RGB32), QImage::fromData(second).convertToFormat(QImage::Format_RGB32));
  EXPECT_TRUE(readFile(images[2]) == third);
  EXPECT_TRUE(QDir(dir).entryList(QDir::Files | QDir::Hidden).size() == 4);  // the pages and the PDF
}

// Each page measures the image at its resolution; 72 dpi when the file states none.
TEST_F(PdfAssemblerTest, PageSizeFollowsTheResolution) {
  const QImage image = noise(300, 600, QImage::Format_RGB32);
  const QByteArray jpeg = encoded(image, "jpeg", 72);
  const QByteArray png = encoded(image, "png", 150);
  struct Case {
    const char* name;
    QByteArray bytes;
    double width, height;
  } cases[] = {
      {"jfif-72.jpeg", withJfifDensity(jpeg, 1, 72, 72), 300, 600},
      {"jfif-150.jpeg", withJfifDensity(jpeg, 1, 150, 150), 144, 288},
      {"jfif-300.jpeg", withJfifDensity(jpeg, 1, 300, 300), 72, 144},
      {"jfif-300x150.jpeg", withJfifDensity(jpeg, 1, 300, 150), 72, 288},
      {"jfif-per-cm.jpeg", withJfifDensity(jpeg, 2, 118, 118), 300 * 72 / 299.72, 600 * 72 / 299.72},
      {"jfif-aspect-only.jpeg", withJfifDensity(jpeg, 0, 1, 1), 300, 600},
      {"jfif-zero.jpeg", withJfifDensity(jpeg, 1, 0, 0), 300, 600},
      {"no-jfif.jpeg", withoutJfif(jpeg), 300, 600},
      {"exif-150.jpeg", withExif(withoutJfif(jpeg), 1, 150), 144, 288},
      {"png-150.png", png, 144, 288},
      {"png-no-phys.png", withoutPngChunk(png, "pHYs"), 300, 600},
      {"tiff-300.tiff", encoded(image, "tiff", 300), 72, 144},
  };
  QStringList pages;
  for (const Case& c : cases) pages << page(c.name, c.bytes);
  assembleOk(pages);
  const auto sizes = pdfPages(pdf);
  ASSERT_EQ(sizes.size(), std::size(cases));
  for (size_t i = 0; i < sizes.size(); ++i) {
    // PNG stores pixels per metre: 150 dpi is 150.01.
    EXPECT_NEAR(sizes[i].width, cases[i].width, 0.05) << cases[i].name;
    EXPECT_NEAR(sizes[i].height, cases[i].height, 0.05) << cases[i].name;
  }
}

// The file's orientation turns the page; a JPEG's bytes stay as they are.
TEST_F(PdfAssemblerTest, OrientationTurnsThePage) {
  // Upright, the page is 120 x 200 with a red square at its top left.
  QImage upright(120, 200, QImage::Format_RGB32);
  upright.fill(Qt::white);
  QPainter(&upright).fillRect(0, 0, 40, 40, Qt::red);
  struct Case {
    const char* name;
    QByteArray bytes;
  } cases[] = {
      // Stored turned the other way, so that showing it as the orientation says sets it upright.
      {"exif-6.jpeg", withExif(encoded(upright.transformed(QTransform().rotate(-90)), "jpeg", 72), 6)},
      {"exif-8.jpeg", withExif(encoded(upright.transformed(QTransform().rotate(90)), "jpeg", 72), 8)},
      {"exif-3.jpeg", withExif(encoded(upright.transformed(QTransform().rotate(180)), "jpeg", 72), 3)},
      {"exif-2.jpeg", withExif(encoded(upright.mirrored(true, false), "jpeg", 72), 2)},
      {"tiff-6.tiff", encoded(upright.transformed(QTransform().rotate(-90)), "tiff", 72,
                              QImageIOHandler::TransformationRotate90)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString file = page(c.name, c.bytes);
    assembleOk({file});
    const auto sizes = pdfPages(pdf);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_NEAR(sizes[0].width, 120, 0.01);
    EXPECT_NEAR(sizes[0].height, 200, 0.01);
    if (QByteArray(c.name).endsWith(".jpeg")) {
      EXPECT_TRUE(readFile(pdfImages(pdf).value(0)) == c.bytes);
    }

    const QString rendered = dir + "/rendered";
    ASSERT_EQ(runProgram("pdftoppm", {"-r", "36", "-png", "-singlefile", pdf, rendered}), 0);
    const QImage shown(rendered + ".png");
    ASSERT_EQ(shown.size(), QSize(60, 100));
    const auto isRed = [&](int x, int y) {
      const QColor c = shown.pixelColor(x, y);
      return c.red() > 200 && c.green() < 80 && c.blue() < 80;
    };
    EXPECT_TRUE(isRed(5, 5));
    EXPECT_FALSE(isRed(54, 5));
    EXPECT_FALSE(isRed(5, 94));
    EXPECT_FALSE(isRed(54, 94));
  }
}

// Images other than JPEG keep every sample: grey, colour, transparency and 16 bits.
TEST_F(PdfAssemblerTest, OtherImagesAreLossless) {
  QImage rgba = noise(64, 48, QImage::Format_ARGB32, 4);
  QImage gray16 = noise(40, 30, QImage::Format_Grayscale16, 5);
  struct Case {
    const char* name;
    QImage image;
    const char* format;
    const char* listed;  // colour and bits as pdfimages -list shows them
  } cases[] = {
      {"rgb.png", noise(64, 48, QImage::Format_RGB888, 1), "png", "rgb     3   8"},
      {"gray.png", noise(64, 48, QImage::Format_Grayscale8, 2), "png", "gray    1   8"},
      {"rgb.tiff", noise(33, 17, QImage::Format_RGB888, 3), "tiff", "rgb     3   8"},
      {"alpha.png", rgba, "png", "rgb     3   8"},
      {"gray16.png", gray16, "png", "gray    1  16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString file = page(c.name, encoded(c.image, c.format));
    assembleOk({file});
    EXPECT_TRUE(pdfImageList(pdf).contains(c.listed)) << pdfImageList(pdf).toStdString();
    const QStringList images = pdfImages(pdf);
    const QImage source(file);
    ASSERT_EQ(images.size(), source.hasAlphaChannel() ? 2 : 1);
    const QImage back(images[0]);
    if (source.format() == QImage::Format_Grayscale16) {
      // pdfimages gives 8 bits back (the list above shows 16 stored): their high bytes.
      const QImage back8 = back.convertToFormat(QImage::Format_Grayscale8);
      for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x)
          ASSERT_EQ(back8.constScanLine(y)[x], reinterpret_cast<const quint16*>(source.constScanLine(y))[x] >> 8);
    } else {
      EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), source.convertToFormat(QImage::Format_RGB32));
    }
    if (source.hasAlphaChannel()) {
      // The soft mask holds the alpha samples.
      const QImage mask = QImage(images[1]).convertToFormat(QImage::Format_Grayscale8);
      const QImage alpha = source.convertToFormat(QImage::Format_RGBA8888);
      for (int y = 0; y < alpha.height(); ++y)
        for (int x = 0; x < alpha.width(); ++x)
          ASSERT_EQ(mask.constScanLine(y)[x], alpha.constScanLine(y)[4 * x + 3]) << x << "," << y;
    }
  }
}

// Every failure leaves no PDF, also not the one an earlier run wrote, and names the page.
TEST_F(PdfAssemblerTest, FailuresLeaveNoPdf) {
  const QByteArray good = encoded(noise(50, 50, QImage::Format_RGB32), "jpeg", 72);
  struct Case {
    const char* name;
    std::function<QStringList()> pages;
    const char* errorPart;
  } cases[] = {
      {"no pages", [] { return QStringList(); }, "no pages"},
      {"not an image", [&] { return QStringList{page("Scan 0.jpeg", good), page("Scan 1.jpeg", "not an image")}; },
       "Scan 1.jpeg"},
      {"truncated JPEG", [&] { return QStringList{page("Scan 0.jpeg", good.left(good.size() / 2))}; },
       "Scan 0.jpeg: the JPEG data is truncated"},
      {"JPEG header only", [&] { return QStringList{page("Scan 0.jpeg", good.left(20))}; }, "Scan 0.jpeg"},
      // Embedded as it is, it would be a page of the stated size that readers call damaged.
      {"JPEG header far larger than its data",
       [&] { return QStringList{page("Scan 0.jpeg", withFrameSize(good, 65000, 65000))}; },
       "Scan 0.jpeg: the JPEG data does not match its 65000 x 65000 header"},
      {"JPEG header a little larger than its data",
       [&] { return QStringList{page("Scan 0.jpeg", withFrameSize(good, 50, 70))}; },
       "Scan 0.jpeg: the JPEG data does not match its 50 x 70 header"},
      // Refused by its size, never read: a sparse file of 600 MiB.
      {"file larger than any page",
       [&] {
         const QString path = page("Scan 12.jpeg", good);
         EXPECT_TRUE(QFile::resize(path, qint64(600) << 20));
         return QStringList{path};
       },
       "Scan 12.jpeg: the file is too large for a page"},
      {"damaged PNG",
       [&] {
         QByteArray png = encoded(noise(50, 50, QImage::Format_RGB32), "png");
         return QStringList{page("Scan 0.png", png.left(png.size() - 100))};
       },
       "Scan 0.png"},
      {"missing page", [&] { return QStringList{page("Scan 0.jpeg", good), dir + "/Scan 5.jpeg"}; },
       "Scan 5.jpeg: No such file or directory"},
      {"folder as a page",
       [&] {
         QDir(dir).mkdir("Scan 6.jpeg");
         return QStringList{dir + "/Scan 6.jpeg"};
       },
       "Scan 6.jpeg: it is not a file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(writeFile(pdf, "%PDF-1.4 from an earlier scan"));
    QString error, unreadable;
    EXPECT_FALSE(pdf::assemblePdf(c.pages(), pdf, &error, &unreadable));
    EXPECT_TRUE(error.contains(c.errorPart)) << error.toStdString();
    // Every failure but the empty list names the page that could not be read.
    EXPECT_EQ(unreadable.isEmpty(), std::string(c.name) == "no pages") << unreadable.toStdString();
    if (!unreadable.isEmpty()) {
      EXPECT_TRUE(error.contains(QFileInfo(unreadable).fileName()));
    }
    expectNoPdf();
  }
}

TEST_F(PdfAssemblerTest, PdfThatCannotBeWrittenIsAnError) {
  const QString jpeg = page("Scan 0.jpeg", encoded(noise(50, 50, QImage::Format_RGB32), "jpeg"));
  QString error;
  // A folder where the PDF must go is left as it is.
  ASSERT_TRUE(QDir(dir).mkdir("View_1.pdf"));
  writeFile(pdf + "/kept", "x");
  EXPECT_FALSE(pdf::assemblePdf({jpeg}, pdf, &error));
  EXPECT_TRUE(error.contains("Cannot write the PDF " + pdf)) << error.toStdString();
  EXPECT_TRUE(QFileInfo::exists(pdf + "/kept"));
  EXPECT_TRUE(QDir(dir).entryList({".View_1*"}, QDir::Files | QDir::Hidden).isEmpty());

  // A file where the PDF's folder must be.
  error.clear();
  EXPECT_FALSE(pdf::assemblePdf({jpeg}, jpeg + "/View_1.pdf", &error));
  EXPECT_TRUE(error.contains("Cannot write the PDF")) << error.toStdString();
}

}  // namespace
