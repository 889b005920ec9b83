#include "platform/scan/ScanPages.h"

#include "platform/fs/Files.h"

#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryFile>

#include <cerrno>
#include <cmath>
#include <unistd.h>

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

}  // namespace zuvo::scan
