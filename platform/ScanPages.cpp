#include "platform/ScanPages.h"

#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryFile>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zuvo::scan {

namespace {

constexpr int kJpegQuality = 95;
constexpr int kMaxPageIndex = 100000;  // a folder full of pages is an error, not a hang

// 0 on success, else errno; EEXIST when `to` is there (it stays untouched).
int moveNoReplace(const QString& from, const QString& to) {
  const QByteArray a = QFile::encodeName(from), b = QFile::encodeName(to);
  if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {  // no RENAME_NOREPLACE on this file system: a link never replaces
    if (::link(a.constData(), b.constData()) == 0) {
      ::unlink(a.constData());
      return 0;
    }
    err = errno;
  }
  return err;
}

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
                                                                 : QString::fromLocal8Bit(std::strerror(errno));
    return result;
  }
  tmp.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                     QFileDevice::ReadOther);
  tmp.close();
  for (int index = *nextIndex; index < kMaxPageIndex; ++index) {
    const QString target = dir.filePath(scanPageName(documentName, index));
    const int err = moveNoReplace(tmp.fileName(), target);
    if (err == EEXIST) continue;
    if (err != 0) {
      result.error = QString::fromLocal8Bit(std::strerror(err));
      return result;  // tmp removes its file
    }
    tmp.setAutoRemove(false);
    *nextIndex = index + 1;
    result.path = target;
    return result;
  }
  result.error = QString::fromLocal8Bit(std::strerror(EEXIST));
  return result;
}

}  // namespace zuvo::scan
