// The browser window on a folder of 500 scanned A4 pages at 300 dpi: time from opening the
// window to every page's preview shown, and the memory the process holds before, after and at
// its peak. bench_browser [pages] (500 unless given).
#include "scanner/ImageBrowser/Controller/AAPLBrowserWindowController.h"
#include "scanner/ImageBrowser/Views/AAPLCollectionView.h"
#include "scanner/ImageBrowser/Views/AAPLSlide.h"
#include "bench/support/ScannedPage.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kDistinctPages = 10;
constexpr int kQuality = 90;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when missing.
long statusKiB(const char* field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  const QByteArray prefix = QByteArray(field) + ':';
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith(prefix)) return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
  return -1;
}

// Starts a new peak from the current RSS (Linux: "5" to clear_refs resets VmHWM).
bool resetPeak() {
  QFile refs(QStringLiteral("/proc/self/clear_refs"));
  return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

double mib(long kib) { return kib / 1024.0; }

bool allPreviewsShown(const AAPLBrowserWindowController& controller, int pages) {
  AAPLCollectionView* view = controller.imageCollectionView();
  if (view->numberOfSections() < 1 || view->numberOfItemsInSection(0) != pages) return false;
  for (int i = 0; i < pages; ++i) {
    AAPLSlide* slide = view->itemAtIndexPath({0, i});
    if (!slide || !slide->imageFile() || slide->imageFile()->previewImage().isNull()) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int pages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qargc = 1;
  QApplication app(qargc, argv);

  QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench-browser-XXXXXX"));
  const QString folder = work.path() + QStringLiteral("/Documents");
  QDir().mkpath(folder);
  std::printf("Writing %d scanned A4 pages at 300 dpi (%dx%d JPEG, quality %d; %d distinct)...\n", pages,
              zuvo::bench::kPageWidth, zuvo::bench::kPageHeight, kQuality, kDistinctPages);
  qint64 folderBytes = 0;
  {
    std::vector<QByteArray> distinct(kDistinctPages);
    {
      std::vector<std::jthread> makers;
      for (int i = 0; i < kDistinctPages; ++i)
        makers.emplace_back([&distinct, i] { distinct[size_t(i)] = zuvo::bench::scannedPage(unsigned(i + 1), kQuality); });
    }
    for (int i = 0; i < pages; ++i) {
      QFile f(folder + QStringLiteral("/Scan %1.jpeg").arg(i));
      const QByteArray& bytes = distinct[size_t(i % kDistinctPages)];
      if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
        return 1;
      }
      folderBytes += bytes.size();
    }
  }
  std::printf("folder: %.1f MiB, %.0f KiB a page; %d preview threads\n\n", folderBytes / 1048576.0,
              folderBytes / 1024.0 / pages, AAPLImageFile::previewQueue()->maxThreadCount());

  const bool peakReset = resetPeak();
  const long before = statusKiB("VmRSS");
  std::printf("%4s %12s %12s %12s %12s %12s\n", "run", "total (ms)", "per page", "RSS before", "RSS after",
              "peak");
  for (int run = 1; run <= 3; ++run) {
    const long runBefore = statusKiB("VmRSS");
    if (run > 1) resetPeak();
    QElapsedTimer timer;
    timer.start();
    auto controller = std::make_unique<AAPLBrowserWindowController>(QUrl::fromLocalFile(folder));
    controller->window()->resize(1300, 800);
    controller->showWindow();
    const qint64 deadline = 600'000;
    while (!allPreviewsShown(*controller, pages) && timer.elapsed() < deadline)
      QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QApplication::processEvents();  // the last previews' repaint
    const double ms = timer.nsecsElapsed() / 1e6;
    if (!allPreviewsShown(*controller, pages)) {
      std::fprintf(stderr, "not every preview shown after %.0f s\n", ms / 1000);
      return 1;
    }
    const long after = statusKiB("VmRSS"), peak = statusKiB("VmHWM");
    std::printf("%4d %12.0f %9.2f ms %8.1f MiB %8.1f MiB %8.1f MiB\n", run, ms, ms / pages, mib(runBefore),
                mib(after), mib(peak));
    controller.reset();
    QApplication::processEvents();
  }
  std::printf("\nRSS before the first window: %.1f MiB%s\n", mib(before),
              peakReset ? "" : " (peak could not be reset: it includes writing the pages)");
  return 0;
}
