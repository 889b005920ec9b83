#include "scanner/ImageBrowser/Model/ImageListing.h"

#include "common/NumericCompare.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMimeDatabase>
#include <algorithm>
#include <sys/stat.h>

namespace zuvo {

QString fileTypeForName(const QString& fileName) {
  const QMimeType type = QMimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
  return type.isValid() && !type.isDefault() ? type.name() : QString();
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
  const QStringList names =
      QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
  QList<ListedFile> listing;
  listing.reserve(names.size());
  for (const QString& name : names) {
    ListedFile file;
    file.name = name;
    struct stat st {};
    if (::lstat(QFile::encodeName(folder + QLatin1Char('/') + name).constData(), &st) == 0) {
      file.regular = S_ISREG(st.st_mode);
      file.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    file.image = file.regular && isImageType(fileTypeForName(name));
    listing << file;
  }
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
