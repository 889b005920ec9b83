#include "ImageFixtures.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QPainter>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace zuvo::test {

QImage testPicture(QSize size, int dotsPerInch) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  const int w = size.width() / 4, h = size.height() / 4;
  p.fillRect(0, 0, w, h, Qt::red);
  p.fillRect(size.width() - w, 0, w, h, Qt::green);
  p.fillRect(0, size.height() - h, w, h, Qt::blue);
  p.end();
  const int dpm = qRound(dotsPerInch / 0.0254);
  image.setDotsPerMeterX(dpm);
  image.setDotsPerMeterY(dpm);
  return image;
}

QByteArray encodeImage(const QImage& image, const char* format) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, format);
  if (QByteArray(format) == "jpeg") writer.setQuality(95);
  if (!writer.write(image)) return {};
  return bytes;
}

QByteArray withFrameSize(QByteArray jpeg, int width, int height) {
  const qsizetype at = jpeg.indexOf("\xFF\xC0");
  if (at < 0) return {};
  jpeg[at + 5] = char(height >> 8), jpeg[at + 6] = char(height);
  jpeg[at + 7] = char(width >> 8), jpeg[at + 8] = char(width);
  return jpeg;
}

bool writeTestImage(const QString& path, QSize size, const char* format, int dotsPerInch) {
  const QByteArray bytes = encodeImage(testPicture(size, dotsPerInch), format);
  QFile f(path);
  return !bytes.isEmpty() && f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray jpegWithOrientation(QSize size, int orientation) {
  const QByteArray jpeg = encodeImage(testPicture(size), "jpeg");
  // APP1 "Exif": big-endian TIFF header, one IFD with the orientation (0x0112, SHORT).
  QByteArray tiff = QByteArray::fromHex("4d4d002a00000008" "0001" "011200030000000100") ;
  tiff.append(char(orientation)).append(QByteArray::fromHex("0000" "00000000"));
  QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
  const int length = app1.size() + 2;
  QByteArray segment = QByteArray::fromHex("ffe1");
  segment.append(char(length >> 8)).append(char(length & 0xff)).append(app1);
  return jpeg.left(2) + segment + jpeg.mid(2);
}

bool setTags(const QString& path, const QByteArray& value) {
  return ::setxattr(QFile::encodeName(path).constData(), "user.xdg.tags", value.constData(), value.size(), 0) == 0;
}

bool touchLater(const QString& path, int seconds) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return false;
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  times[1].tv_sec += seconds;
  return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

}  // namespace zuvo::test
