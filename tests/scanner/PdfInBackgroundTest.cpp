// The scan's PDF made on a worker thread: the main loop goes on meanwhile, and a program asked
// to quit stops it, leaves nothing of it behind and ends within its bound.
#include "images/ImageFixtures.h"
#include "scanner/GlobalData.h"
#include "scanner/ScanUpload.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

#include <optional>

using namespace std::chrono_literals;
using namespace zuvo::test;
using zuvo::scanupload::PdfResult;

namespace {

// Pages of a real scan's size (A4 at 150 dpi), all copies of one file.
QStringList writePages(int count) {
  const QString folder = QDir::cleanPath(GlobalData::sharedGlobalData().getScanDocumentPath());
  QDir(folder).removeRecursively();
  EXPECT_TRUE(QDir().mkpath(folder));
  const QString first = folder + "/Scan 0.jpeg";
  EXPECT_TRUE(writeTestImage(first, QSize(1240, 1754), "jpeg", 150));
  QStringList pages{first};
  for (int i = 1; i < count; ++i) {
    pages << folder + QStringLiteral("/Scan %1.jpeg").arg(i);
    EXPECT_TRUE(QFile::copy(first, pages.last()));
  }
  return pages;
}

QStringList leftInFolder() {
  return QDir(GlobalData::sharedGlobalData().getScanDocumentPath())
      .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)
      .filter("View_1");
}

}  // namespace

TEST(PdfInBackground, TheMainLoopRunsWhileThePagesAreWritten) {
  const QStringList pages = writePages(120);
  int ticks = 0, ticksAtFirstPage = -1, ticksAtLastPage = -1, lastPage = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
  tick.start(1);
  std::optional<PdfResult> result;
  zuvo::scanupload::makePdfInBackground(
      pages,
      [&](int done) {
        if (ticksAtFirstPage < 0) ticksAtFirstPage = ticks;
        EXPECT_GT(done, lastPage) << "in order";
        lastPage = done;
        ticksAtLastPage = ticks;
      },
      [&](const PdfResult& r) { result = r; });
  EXPECT_FALSE(result) << "never before this returns";
  ASSERT_TRUE(waitUntil([&] { return result.has_value(); }, 60s));
  EXPECT_EQ(result->outcome, PdfResult::Outcome::Made) << result->error.toStdString();
  EXPECT_EQ(result->pageCount, 120);
  EXPECT_EQ(lastPage, 120);
  // Pages made on this thread would be reported back to back, with no timer between them.
  EXPECT_GT(ticksAtLastPage, ticksAtFirstPage) << "the loop ran while the pages were written";
  EXPECT_EQ(leftInFolder(), QStringList{"View_1.pdf"});
}

TEST(PdfInBackground, QuittingStopsItAndEndsOnceItsEndIsHandled) {
  const QStringList pages = writePages(200);
  std::optional<PdfResult> result;
  bool ended = false, resultBeforeEnd = false;
  zuvo::scanupload::makePdfInBackground(pages, {}, [&](const PdfResult& r) {
    result = r;
    // What the flow starts here (the quick road's "Cancel") is waited for as well.
    zuvo::scanupload::sendStatus("Cancel", "Error while sending status", {});
  });
  spin(20ms);  // under way
  QElapsedTimer clock;
  clock.start();
  zuvo::scanupload::finishRequestsThen(
      [&] {
        ended = true;
        resultBeforeEnd = result.has_value();
      },
      4s);
  ASSERT_TRUE(waitUntil([&] { return ended; }, 10s));
  EXPECT_LT(clock.elapsed(), 4500);
  ASSERT_TRUE(resultBeforeEnd);
  EXPECT_EQ(result->outcome, PdfResult::Outcome::Stopped);
  EXPECT_EQ(result->error, "cancelled");
  EXPECT_TRUE(zuvo::scanupload::quitting());
  EXPECT_TRUE(leftInFolder().isEmpty()) << leftInFolder().join(", ").toStdString();
}
