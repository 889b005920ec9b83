// The scanner's PDF of 10, 50 and 200 scanned A4 pages at 300 dpi against img2pdf on the same
// pages: time (best of three), file size, and whether the embedded images are the pages' bytes.
#include "scanner/PdfAssembler.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

namespace {

constexpr int kWidth = 2480, kHeight = 3508, kDpm = 11811;  // A4 at 300 dpi
constexpr int kDistinctPages = 10;

// A scanned text page: lines of word-like strokes on paper with sensor noise, written as the
// scanner writes its pages (Qt's JPEG writer at its default quality).
QByteArray scannedPage(unsigned seed) {
  QImage page(kWidth, kHeight, QImage::Format_RGB32);
  page.fill(QColor(246, 245, 240));
  std::mt19937 rng(seed);
  {
    QPainter p(&page);
    for (int y = 300; y < kHeight - 300; y += 55) {
      if (rng() % 9 == 0) continue;  // paragraph gap
      for (int x = 250; x < kWidth - 300;) {
        const int w = 40 + int(rng() % 220);
        const int shade = 20 + int(rng() % 40);
        p.fillRect(x, y, std::min(w, kWidth - 250 - x), 30, QColor(shade, shade, shade + 5));
        x += w + 25;
      }
    }
  }
  for (int y = 0; y < kHeight; ++y) {
    auto* line = reinterpret_cast<QRgb*>(page.scanLine(y));
    for (int x = 0; x < kWidth; ++x) {
      const int n = int(rng() % 9) - 4;
      const QRgb c = line[x];
      line[x] = qRgb(std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255),
                     std::clamp(qBlue(c) + n, 0, 255));
    }
  }
  page.setDotsPerMeterX(kDpm);
  page.setDotsPerMeterY(kDpm);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter(&buffer, "jpeg").write(page);
  return bytes;
}

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
    distinct.push_back(scannedPage(unsigned(i + 1)));
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
  return 0;
}
