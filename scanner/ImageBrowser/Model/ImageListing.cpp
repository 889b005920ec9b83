#include "scanner/ImageBrowser/Model/ImageListing.h"

#include "common/Log.h"
#include "common/NumericCompare.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMimeDatabase>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo {
namespace {

struct Signature {
  qsizetype offset;
  const char* bytes;
  qsizetype length;
  const char* type;
  const char* description;
};

// The image types Qt reads here, by the bytes they begin with.
const Signature kSignatures[] = {
    {0, "\xFF\xD8\xFF", 3, "image/jpeg", "JPEG image"},
    {0, "\x89PNG\r\n\x1A\n", 8, "image/png", "PNG image"},
    {0, "II*\0", 4, "image/tiff", "TIFF image"},
    {0, "MM\0*", 4, "image/tiff", "TIFF image"},
    {0, "GIF87a", 6, "image/gif", "GIF image"},
    {0, "GIF89a", 6, "image/gif", "GIF image"},
    {0, "BM", 2, "image/bmp", "Windows BMP image"},
    {8, "WEBP", 4, "image/webp", "WebP image"},
};

bool validUtf8(const QByteArray& bytes) { return QString::fromUtf8(bytes).toUtf8() == bytes; }

// Renames the entry to a valid UTF-8 name beside it, never over another entry; the new name,
// or nothing when no rename was possible.
std::optional<QByteArray> renameToValidName(int dirFd, const QByteArray& folder, const QByteArray& name) {
  const QString readable = QString::fromUtf8(name);
  const qsizetype dot = readable.lastIndexOf(QLatin1Char('.'));
  const QString stem = dot > 0 ? readable.left(dot) : readable, extension = dot > 0 ? readable.mid(dot) : QString();
  for (int n = 1; n < 100; ++n) {
    const QByteArray candidate = (n == 1 ? readable : QStringLiteral("%1 %2%3").arg(stem).arg(n).arg(extension)).toUtf8();
    if (::renameat2(dirFd, name.constData(), dirFd, candidate.constData(), RENAME_NOREPLACE) == 0) {
      logInfo(QStringLiteral("Renamed %1/%2 to %3: its name was not valid UTF-8")
                  .arg(QString::fromUtf8(folder), QString::fromUtf8(name.toPercentEncoding("/ ")),
                       QString::fromUtf8(candidate)));
      return candidate;
    }
    if (errno != EEXIST) break;
  }
  logError(QStringLiteral("%1/%2 could not be renamed to a valid UTF-8 name: %3")
               .arg(QString::fromUtf8(folder), QString::fromUtf8(name.toPercentEncoding("/ ")),
                    QString::fromLocal8Bit(std::strerror(errno))));
  return std::nullopt;
}

}  // namespace

QString fileTypeForName(const QString& fileName) {
  const QMimeType type = QMimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
  return type.isValid() && !type.isDefault() ? type.name() : QString();
}

QString imageTypeFromContent(const QString& path) {
  // Never blocks on a pipe or device in a regular file's place.
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return {};
  struct stat st {};
  char bytes[16];
  const ssize_t got = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::read(fd, bytes, sizeof bytes) : -1;
  ::close(fd);
  if (got <= 0) return {};
  const QByteArray head(bytes, qsizetype(got));
  for (const Signature& s : kSignatures) {
    if (head.size() >= s.offset + s.length && std::memcmp(head.constData() + s.offset, s.bytes, size_t(s.length)) == 0 &&
        (s.offset == 0 || head.startsWith("RIFF")))
      return QString::fromLatin1(s.type);
  }
  return {};
}

QString fileTypeForFile(const QString& path) {
  const QString byName = fileTypeForName(path.section(QLatin1Char('/'), -1));
  return byName.isEmpty() ? imageTypeFromContent(path) : byName;
}

QString typeDescription(const QString& mimeName) {
  if (mimeName.isEmpty()) return {};
  const QString comment = QMimeDatabase().mimeTypeForName(mimeName).comment();
  if (!comment.isEmpty()) return comment;
  for (const Signature& s : kSignatures)
    if (mimeName == QLatin1String(s.type)) return QString::fromLatin1(s.description);
  return mimeName;
}

bool isImageType(const QString& mimeName) {
  if (mimeName.isEmpty()) return false;
  if (mimeName.startsWith(QLatin1String("image/"))) return true;
  const QMimeType type = QMimeDatabase().mimeTypeForName(mimeName);
  const QStringList ancestors = type.allAncestors();
  return std::any_of(ancestors.begin(), ancestors.end(),
                     [](const QString& a) { return a.startsWith(QLatin1String("image/")); });
}

bool imageNameLess(const QString& a, const QString& b) {
  const int c = numericCompare(a, b);
  return c != 0 ? c < 0 : a < b;
}

QList<ListedFile> listFolder(const QString& folder) {
  QList<ListedFile> listing;
  const QByteArray folderBytes = QFile::encodeName(folder);
  DIR* dir = ::opendir(folderBytes.constData());
  if (!dir) return listing;
  const int dirFd = ::dirfd(dir);
  QList<QByteArray> names;
  while (const dirent* entry = ::readdir(dir)) {
    const QByteArray name(entry->d_name);
    if (name != "." && name != "..") names << name;
  }
  listing.reserve(names.size());
  for (QByteArray name : names) {
    struct stat st {};
    bool statted = ::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (statted && S_ISREG(st.st_mode) && !validUtf8(name)) {
      if (const std::optional<QByteArray> renamed = renameToValidName(dirFd, folderBytes, name)) {
        name = *renamed;
        statted = ::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
      }
    }
    ListedFile file;
    file.name = QString::fromUtf8(name);
    if (statted) {
      file.regular = S_ISREG(st.st_mode);
      file.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    // A name still not valid UTF-8 leads nowhere: it is no regular file of this folder's paths.
    if (!validUtf8(name)) file.regular = false;
    file.image = file.regular && isImageType(fileTypeForFile(folder + QLatin1Char('/') + file.name));
    listing << file;
  }
  ::closedir(dir);
  std::sort(listing.begin(), listing.end(),
            [](const ListedFile& a, const ListedFile& b) { return imageNameLess(a.name, b.name); });
  return listing;
}

ScanDifference scanDifference(const QString& folder, const QList<RecordState>& records,
                              const QList<ListedFile>& listing) {
  const QString prefix = QDir::cleanPath(folder) + QLatin1Char('/');
  QHash<QString, const ListedFile*> listed;
  for (const ListedFile& file : listing)
    if (file.regular && file.image) listed.insert(prefix + file.name, &file);

  ScanDifference difference;
  QHash<QString, bool> known;
  for (int i = 0; i < records.size(); ++i) {
    const RecordState& record = records[i];
    known.insert(record.path, true);
    const ListedFile* file = listed.value(record.path);
    if (!file) {
      difference.removed << i;
    } else if (file->modifiedNs && (!record.modifiedNs || *file->modifiedNs > *record.modifiedNs)) {
      difference.refreshed << i;
    }
  }
  for (const ListedFile& file : listing) {
    const QString path = prefix + file.name;
    if (file.regular && file.image && !known.contains(path)) difference.added << path;
  }
  return difference;
}

}  // namespace zuvo
