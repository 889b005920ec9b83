#include "scanner/ScanPages.h"

#include "platform/fs/Files.h"

#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QMetaObject>
#include <QTemporaryFile>

#include <cerrno>
#include <cmath>
#include <pthread.h>
#include <unistd.h>
#include <utility>

namespace zuvo::scan {

namespace {

constexpr int kJpegQuality = 95;
constexpr int kMaxPageIndex = 100000;  // a folder full of pages is an error, not a hang

}  // namespace

QString scanPageName(const QString& documentName, int index) {
  return index == 0 ? documentName + QStringLiteral(".jpeg")
                    : QStringLiteral("%1 %2.jpeg").arg(documentName).arg(index);
}

ScanPageResult writeScanPage(const QImage& image, int dpi, const QString& folder,
                             const QString& documentName, int* nextIndex) {
  ScanPageResult result;
  if (image.isNull()) {
    result.error = QStringLiteral("No image data");
    return result;
  }
  const QDir dir(folder);
  // A hidden temporary name: nothing watching the folder takes it for a page.
  QTemporaryFile tmp(dir.filePath(QStringLiteral(".%1.XXXXXX.part").arg(documentName)));
  if (!tmp.open()) {
    result.error = tmp.errorString();
    return result;
  }
  QImage page = image;
  if (dpi > 0) {
    const int dpm = int(std::lround(dpi / 0.0254));
    page.setDotsPerMeterX(dpm);
    page.setDotsPerMeterY(dpm);
  }
  QImageWriter writer(&tmp, "jpeg");
  writer.setQuality(kJpegQuality);
  if (!writer.write(page) || !tmp.flush() || ::fsync(tmp.handle()) != 0) {
    result.error = writer.error() != QImageWriter::UnknownError ? writer.errorString()
                                                                 : files::errnoText(errno);
    return result;
  }
  tmp.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                     QFileDevice::ReadOther);
  tmp.close();
  for (int index = *nextIndex; index < kMaxPageIndex; ++index) {
    const QString target = dir.filePath(scanPageName(documentName, index));
    int err = 0;
    if (!files::renameNoReplace(tmp.fileName(), target, nullptr, &err)) {
      if (err == EEXIST) continue;
      result.error = files::errnoText(err);
      return result;  // tmp removes its file
    }
    tmp.setAutoRemove(false);
    *nextIndex = index + 1;
    result.path = target;
    return result;
  }
  result.error = files::errnoText(EEXIST);
  return result;
}

ScanPageWriter::ScanPageWriter(QObject* parent) : QObject(parent), thread_([this] { run(); }) {}

ScanPageWriter::~ScanPageWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_one();
  thread_.join();
}

void ScanPageWriter::begin(const QString& folder, const QString& documentName) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    ++scan_;
    queue_.clear();
    // An earlier scan's page must not land in the folder once the new scan has emptied it.
    idle_.wait(lock, [this] { return !writing_; });
  }
  folder_ = folder;
  documentName_ = documentName;
  pending_ = 0;
  failure_.clear();
  waiting_.clear();
}

void ScanPageWriter::add(const QImage& image, int dpi) {
  ++pending_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Job{scan_, image, dpi, folder_, documentName_});
  }
  wake_.notify_one();
}

void ScanPageWriter::whenWritten(std::function<void()> done) {
  if (pending_ == 0) done();
  else waiting_.push_back(std::move(done));
}

void ScanPageWriter::run() {
  pthread_setname_np(pthread_self(), "zuvo-pages");
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      job = std::move(queue_.front());
      queue_.pop_front();
      writing_ = true;
    }
    if (job.scan != workerScan_) {
      workerScan_ = job.scan;
      nextIndex_ = 0;
      workerFailed_ = false;
    }
    Result result;
    result.scan = job.scan;
    if (workerFailed_) {
      result.dropped = true;
    } else if (job.folder.isEmpty()) {
      result.page.error = files::errnoText(ENOENT);
    } else {
      result.page = writeScanPage(job.image, job.dpi, job.folder, job.documentName, &nextIndex_);
    }
    if (!result.page.error.isEmpty()) workerFailed_ = true;
    job.image = QImage();  // a page's memory goes before the next one is taken
    QMetaObject::invokeMethod(this, [this, result] { delivered(result); }, Qt::QueuedConnection);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writing_ = false;
    }
    idle_.notify_all();
  }
}

void ScanPageWriter::delivered(const Result& result) {
  if (result.scan != scan_) return;  // a scan given up for a new one
  --pending_;
  if (!result.page.path.isEmpty()) {
    emit pageWritten(result.page.path);
  } else if (!result.dropped) {
    failure_ = result.page.error;
    emit pageFailed(result.page.error);
  }
  if (pending_ > 0 || result.scan != scan_) return;
  const std::vector<std::function<void()>> waiting = std::exchange(waiting_, {});
  for (const auto& done : waiting) done();
}

}  // namespace zuvo::scan
