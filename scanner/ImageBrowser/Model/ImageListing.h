// The folder scan's two halves: the listing, made on the scan worker from the file system
// alone, and the difference against the model, computed on the main thread when the
// listing is applied (so records inserted meanwhile are seen).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace zuvo {

struct ListedFile {
  QString name;
  bool regular = false;  // lstat says a regular file (a symbolic link never is)
  bool image = false;    // the name's type is an image type
  std::optional<qint64> modifiedNs;  // content modification time, ns since the epoch
};

// The file type named by the extension (a MIME name); empty when the extension is unknown.
QString fileTypeForName(const QString& fileName);
// The image type the file's first bytes show (JPEG, PNG, TIFF, GIF, BMP, WebP); empty for any
// other content, an unreadable file, or anything but a regular file.
QString imageTypeFromContent(const QString& path);
// The file's type: by its name where the MIME database knows the name, else by its content.
// Without the shared MIME database (XDG_DATA_DIRS without it) Qt knows no name at all, and the
// scanner's own pages must still be pages.
QString fileTypeForFile(const QString& path);
// A readable description of the type; the database's comment where it has one.
QString typeDescription(const QString& mimeName);
// The type or one of its ancestors is image/*.
bool isImageType(const QString& mimeName);

// One level of folder, hidden names included, in numeric name order. An unreadable
// folder lists as empty. A regular file whose name is not valid UTF-8 (which no QString path
// reaches) is first renamed within the folder to the name with U+FFFD in place of the bad
// bytes, so that it is listed and sent like any other page; the rename is logged.
QList<ListedFile> listFolder(const QString& folder);

// Numeric, case-sensitive name order; names equal by value fall back to code units.
bool imageNameLess(const QString& a, const QString& b);

struct RecordState {
  QString path;
  std::optional<qint64> modifiedNs;  // as the record saw it
};

struct ScanDifference {
  QList<int> removed;    // indexes into the records: not listed as a regular image any more
  QList<int> refreshed;  // indexes into the records: listed with a strictly later time
  QStringList added;     // paths listed without a record, in listing order
};

// records: the model's records in display order; listing: as listFolder gave it.
ScanDifference scanDifference(const QString& folder, const QList<RecordState>& records,
                              const QList<ListedFile>& listing);

}  // namespace zuvo
