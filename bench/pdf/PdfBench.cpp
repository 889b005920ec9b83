// The scanner's PDF of 10, 50 and 200 scanned A4 pages at 300 dpi against img2pdf on the same
// pages: time (best of three), file size, and whether the embedded images are the pages' bytes.
#include "scanner/PdfAssembler.h"
#include "bench/support/ScannedPage.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int kDistinctPages = 10;

double bestOfThree(const std::function<bool()>& run) {
  double best = 1e300;
  for (int i = 0; i < 3; ++i) {
    QElapsedTimer timer;
    timer.start();
    if (!run()) return -1;
    best = std::min(best, timer.nsecsElapsed() / 1e6);
  }
  return best;
}

// Whether `pdfimages -j` gives back exactly the pages' bytes, in order.
bool imagesArePages(const QString& pdf, const QStringList& pages, const QString& scratch) {
  QDir(scratch).removeRecursively();
  QDir().mkpath(scratch);
  if (QProcess::execute("pdfimages", {"-j", pdf, scratch + "/img"}) != 0) return false;
  const QStringList images = QDir(scratch).entryList(QDir::Files, QDir::Name);
  if (images.size() != pages.size()) return false;
  for (int i = 0; i < pages.size(); ++i) {
    QFile a(scratch + "/" + images[i]), b(pages[i]);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.readAll() != b.readAll()) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTemporaryDir work(QDir::tempPath() + "/bench-pdf-XXXXXX");
  std::printf("Making %d distinct scanned A4 pages at 300 dpi...\n", kDistinctPages);
  std::vector<QByteArray> distinct;
  qint64 pageBytes = 0;
  for (int i = 0; i < kDistinctPages; ++i) {
    distinct.push_back(zuvo::bench::scannedPage(unsigned(i + 1)));
    pageBytes += distinct.back().size();
  }
  std::printf("page files: %.0f KiB on average\n\n", double(pageBytes) / kDistinctPages / 1024);
  std::printf("%6s  %-10s %10s %12s %14s\n", "pages", "writer", "time (ms)", "size (MiB)", "bytes kept");

  for (const int count : {10, 50, 200}) {
    const QString folder = work.path() + QString("/scan%1").arg(count);
    QDir().mkpath(folder);
    QStringList pages;
    qint64 total = 0;
    for (int i = 0; i < count; ++i) {
      pages << folder + QString("/Scan %1.jpeg").arg(i);
      QFile f(pages.back());
      f.open(QIODevice::WriteOnly);
      f.write(distinct[size_t(i % kDistinctPages)]);
      total += distinct[size_t(i % kDistinctPages)].size();
    }
    const QString ours = work.path() + "/ours.pdf", theirs = work.path() + "/img2pdf.pdf";
    const double oursMs = bestOfThree([&] {
      QString error;
      if (!zuvo::pdf::assemblePdf(pages, ours, &error)) std::fprintf(stderr, "%s\n", qPrintable(error));
      return error.isEmpty();
    });
    const double theirsMs = bestOfThree([&] {
      return QProcess::execute("img2pdf", QStringList{"-o", theirs} + pages) == 0;
    });
    const auto row = [&](const char* name, double ms, const QString& pdf) {
      std::printf("%6d  %-10s %10.1f %12.2f %14s\n", count, name, ms, QFileInfo(pdf).size() / 1048576.0,
                  ms < 0 ? "failed" : imagesArePages(pdf, pages, work.path() + "/images") ? "yes" : "NO");
    };
    row("zuvo", oursMs, ours);
    row("img2pdf", theirsMs, theirs);
    std::printf("%6d  %-10s %10s %12.2f\n", count, "(pages)", "", total / 1048576.0);
  }

  // Each JPEG page's coded data is decoded once to see that it fills its frame: the time that
  // costs on the largest pages a scanner makes, one colour A4 page at 600 and at 1200 dpi.
  std::printf("\n%6s  %10s %12s\n", "dpi", "time (ms)", "page (MiB)");
  for (const int scale : {2, 4}) {
    QImage page = QImage::fromData(distinct[0]).scaled(zuvo::bench::kPageWidth * scale,
                                                      zuvo::bench::kPageHeight * scale, Qt::IgnoreAspectRatio,
                                                      Qt::SmoothTransformation);
    page = page.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < page.height(); y += 97) page.scanLine(y)[0] ^= 0x40;  // not quite flat
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "jpeg").write(page);
    page = {};
    const QString path = work.path() + QString("/large%1.jpeg").arg(scale);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    f.close();
    const double ms = bestOfThree([&] {
      QString error;
      if (!zuvo::pdf::assemblePdf({path}, work.path() + "/large.pdf", &error)) std::fprintf(stderr, "%s\n", qPrintable(error));
      return error.isEmpty();
    });
    std::printf("%6d  %10.1f %12.2f\n", 300 * scale, ms, bytes.size() / 1048576.0);
  }
  return 0;
}
