// Image files for the scanner's image tests.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

namespace zuvo::test {

// A picture with distinct corners (so turns and crops can be told apart).
QImage testPicture(QSize size, int dotsPerInch = 300);
// Encoded in the given format ("jpeg", "tiff", "png"); JPEG at quality 95.
QByteArray encodeImage(const QImage& image, const char* format);
// testPicture written to path; false on failure.
bool writeTestImage(const QString& path, QSize size, const char* format = "jpeg", int dotsPerInch = 300);
// JPEG bytes carrying an EXIF orientation tag (1..8).
QByteArray jpegWithOrientation(QSize size, int orientation);
// The JPEG (baseline, as Qt writes it) with a frame header stating another size than its data.
QByteArray withFrameSize(QByteArray jpeg, int width, int height);
// Sets user.xdg.tags; false where the file system has no user attributes.
bool setTags(const QString& path, const QByteArray& value);
// Moves the modification time this many seconds forward.
bool touchLater(const QString& path, int seconds);

}  // namespace zuvo::test
