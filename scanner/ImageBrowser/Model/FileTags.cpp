#include "scanner/ImageBrowser/Model/FileTags.h"

#include "platform/fs/Files.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/xattr.h>

namespace zuvo {

QStringList parseTagNames(const QByteArray& attribute) {
  QStringList names;
  for (const QString& part : QString::fromUtf8(attribute).split(QLatin1Char(','))) {
    const QString name = part.trimmed();
    if (!name.isEmpty() && !names.contains(name)) names << name;
  }
  return names;
}

std::optional<QByteArray> readTagAttribute(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  // The size may grow between the two calls: try again a few times.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = ::getxattr(native.constData(), kTagsAttribute, nullptr, 0);
    if (size < 0) return std::nullopt;
    QByteArray value(size, Qt::Uninitialized);
    const ssize_t got = ::getxattr(native.constData(), kTagsAttribute, value.data(), value.size());
    if (got >= 0) {
      value.truncate(got);
      return value;
    }
    if (errno != ERANGE) return std::nullopt;
  }
  return std::nullopt;
}

bool writeTagAttribute(const QString& path, const QByteArray& value, QString* errorText) {
  const QByteArray native = QFile::encodeName(path);
  if (::setxattr(native.constData(), kTagsAttribute, value.constData(), value.size(), 0) == 0) return true;
  if (errorText) *errorText = zuvo::files::errnoText(errno);
  return false;
}

QStringList readTagNames(const QString& path) {
  const auto value = readTagAttribute(path);
  return value ? parseTagNames(*value) : QStringList();
}

}  // namespace zuvo
