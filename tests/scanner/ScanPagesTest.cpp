// The scanned pages as files: their names, never replacing a file, each whole under its
// final name before it is announced, in the order they came, and a scan's end only once
// every page of it is written.
#include "scanner/ScanPages.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <gtest/gtest.h>

#include <cmath>

using namespace zuvo::scan;
using zuvo::test::makeTempDir;
using zuvo::test::readFile;
using zuvo::test::waitUntil;
using zuvo::test::writeFile;

namespace {

QImage page(int width, int height = 30) {
  QImage image(width, height, QImage::Format_RGB888);
  image.fill(Qt::red);
  return image;
}

int dpiOf(const QImage& image) { return int(std::lround(image.dotsPerMeterX() * 0.0254)); }

TEST(ScanPages, NamesNeverReplaceAndFilesAreComplete) {
  EXPECT_EQ(scanPageName("Scan", 0), "Scan.jpeg");
  EXPECT_EQ(scanPageName("Scan", 12), "Scan 12.jpeg");

  const QString dir = makeTempDir("pages");
  ASSERT_TRUE(writeFile(dir + "/Scan 1.jpeg", "someone else's"));
  const QImage image = page(40);
  int next = 0;
  QStringList written;
  for (int i = 0; i < 3; ++i) {
    const ScanPageResult page = writeScanPage(image, 150, dir, "Scan", &next);
    ASSERT_TRUE(page.error.isEmpty()) << page.error.toStdString();
    written.append(QFileInfo(page.path).fileName());
  }
  EXPECT_EQ(written, QStringList({"Scan.jpeg", "Scan 2.jpeg", "Scan 3.jpeg"}));
  EXPECT_EQ(readFile(dir + "/Scan 1.jpeg"), "someone else's");
  EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden).size(), 4);  // no temporary left

  QImageReader reader(dir + "/Scan 2.jpeg");
  EXPECT_EQ(reader.format(), "jpeg");
  const QImage back = reader.read();
  EXPECT_EQ(back.size(), QSize(40, 30));
  EXPECT_EQ(dpiOf(back), 150);

  const ScanPageResult missing = writeScanPage(image, 150, dir + "/gone", "Scan", &next);
  EXPECT_TRUE(missing.path.isEmpty());
  EXPECT_FALSE(missing.error.isEmpty());
}

// What a listener sees of a writer: each announced page read back at once.
struct Seen {
  explicit Seen(ScanPageWriter& writer) {
    QObject::connect(&writer, &ScanPageWriter::pageWritten, [this](const QString& path) {
      QImageReader reader(path);
      const QImage image = reader.read();
      names << QFileInfo(path).fileName();
      widths << image.width();
      dpis << dpiOf(image);
    });
    QObject::connect(&writer, &ScanPageWriter::pageFailed, [this](const QString& error) { errors << error; });
  }
  QStringList names, errors;
  QList<int> widths, dpis;
};

TEST(ScanPageWriter, WritesInOrderBesideEarlierFilesAndEndsAfterTheLastPage) {
  const struct {
    const char* what;
    QStringList before;  // files already in the folder
    QStringList names;   // the pages' names, in the order written
  } cases[] = {
      {"an empty folder", {}, {"Scan.jpeg", "Scan 1.jpeg", "Scan 2.jpeg", "Scan 3.jpeg"}},
      {"an earlier first page", {"Scan.jpeg"}, {"Scan 1.jpeg", "Scan 2.jpeg", "Scan 3.jpeg", "Scan 4.jpeg"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QString dir = makeTempDir("scan");
    for (const QString& name : c.before) ASSERT_TRUE(writeFile(dir + "/" + name, "an earlier page"));
    ScanPageWriter writer;
    Seen seen(writer);
    writer.begin(dir, "Scan");
    EXPECT_EQ(writer.folder(), dir);
    EXPECT_EQ(writer.documentName(), "Scan");
    bool ended = false;
    writer.whenWritten([&] { ended = true; });
    EXPECT_TRUE(ended) << "nothing outstanding: at once";
    ended = false;
    // Big pages first: a later, smaller page must not overtake them.
    for (int i = 0; i < 4; ++i) writer.add(page(2000 - 600 * i, 1500), 100 + i);
    EXPECT_EQ(writer.pending(), 4);
    writer.whenWritten([&] {
      ended = true;
      EXPECT_EQ(seen.names.size(), 4) << "every page announced before the end";
    });
    ASSERT_TRUE(waitUntil([&] { return ended; }, std::chrono::seconds(60)));
    EXPECT_EQ(seen.names, c.names);
    EXPECT_EQ(seen.widths, QList<int>({2000, 1400, 800, 200})) << "whole files, in order";
    EXPECT_EQ(seen.dpis, QList<int>({100, 101, 102, 103}));
    EXPECT_TRUE(seen.errors.isEmpty());
    EXPECT_EQ(writer.pending(), 0);
    for (const QString& name : c.before) EXPECT_EQ(readFile(dir + "/" + name), "an earlier page");
    EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden).size(), c.before.size() + 4) << "no temporary left";
  }
}

TEST(ScanPageWriter, APageThatCannotBeWrittenEndsItsScansPages) {
  const QString dir = makeTempDir("scan");
  ScanPageWriter writer;
  Seen seen(writer);
  writer.begin(dir + "/gone", "Scan");
  for (int i = 0; i < 3; ++i) writer.add(page(40), 150);
  bool ended = false;
  writer.whenWritten([&] { ended = true; });
  ASSERT_TRUE(waitUntil([&] { return ended; }));
  ASSERT_EQ(seen.errors.size(), 1) << "one failure, the later pages dropped";
  EXPECT_FALSE(seen.errors[0].isEmpty());
  EXPECT_EQ(writer.failure(), seen.errors[0]);
  EXPECT_TRUE(seen.names.isEmpty());

  // The next scan starts afresh.
  writer.begin(dir, "Scan");
  EXPECT_TRUE(writer.failure().isEmpty());
  writer.add(page(40), 150);
  ended = false;
  writer.whenWritten([&] { ended = true; });
  ASSERT_TRUE(waitUntil([&] { return ended; }));
  EXPECT_EQ(seen.names, QStringList({"Scan.jpeg"}));
  EXPECT_EQ(seen.errors.size(), 1);
}

TEST(ScanPageWriter, ANewScanDropsTheEarlierScansOutstandingPages) {
  const QString first = makeTempDir("first"), second = makeTempDir("second");
  ScanPageWriter writer;
  Seen seen(writer);
  writer.begin(first, "Scan");
  for (int i = 0; i < 6; ++i) writer.add(page(3000, 3000), 300);
  bool firstEnded = false;
  writer.whenWritten([&] { firstEnded = true; });
  writer.begin(second, "Scan");  // before the event loop ran: nothing of the first is announced
  writer.add(page(50), 75);
  bool secondEnded = false;
  writer.whenWritten([&] { secondEnded = true; });
  ASSERT_TRUE(waitUntil([&] { return secondEnded; }, std::chrono::seconds(60)));
  zuvo::test::spin(std::chrono::milliseconds(50));
  EXPECT_FALSE(firstEnded) << "a scan given up never ends";
  EXPECT_EQ(seen.names, QStringList({"Scan.jpeg"}));
  EXPECT_EQ(seen.widths, QList<int>({50}));
  EXPECT_EQ(QDir(second).entryList(QDir::Files | QDir::Hidden), QStringList({"Scan.jpeg"}));
}

}  // namespace
