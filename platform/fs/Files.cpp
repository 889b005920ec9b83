#include "platform/fs/Files.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo::files {

QString errnoText(int errorNumber) { return QString::fromLocal8Bit(std::strerror(errorNumber)); }

QString errnoText(const QString& path, int errorNumber) {
  return QStringLiteral("%1: %2").arg(path, errnoText(errorNumber));
}

bool renameNoReplace(const QString& from, const QString& to, QString* error, int* errorNumber) {
  const QByteArray a = QFile::encodeName(from), b = QFile::encodeName(to);
  if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    struct stat st {};
    if (::lstat(a.constData(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      if (::link(a.constData(), b.constData()) == 0) {
        ::unlink(a.constData());
        return true;
      }
      err = errno;
    }
  }
  if (error) *error = QStringLiteral("Cannot move %1 to %2: %3").arg(from, to, errnoText(err));
  if (errorNumber) *errorNumber = err;
  return false;
}

bool makeFolderPath(const QString& path, unsigned mode) {
  const QString clean = QDir::cleanPath(path);
  if (clean.isEmpty()) return false;
  const QByteArray bytes = QFile::encodeName(clean);
  struct stat st {};
  if (::stat(bytes.constData(), &st) == 0) return S_ISDIR(st.st_mode);
  const qsizetype slash = clean.lastIndexOf(QLatin1Char('/'));
  if (slash > 0 && !makeFolderPath(clean.left(slash), mode)) return false;
  if (::mkdir(bytes.constData(), mode) != 0 && errno != EEXIST) return false;
  return ::stat(bytes.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeOwnerOnlyFolder(const QString& path, QString* error) {
  const auto fail = [&](const QString& why) {
    if (error) *error = why;
    return false;
  };
  if (!makeFolderPath(path, 0700)) return fail(QStringLiteral("Cannot create the folder %1").arg(path));
  const QByteArray p = QFile::encodeName(path);
  struct stat st {};
  if (::lstat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
    return fail(QStringLiteral("%1 is not a private folder").arg(path));
  if ((st.st_mode & 0777) != 0700 && ::chmod(p.constData(), 0700) != 0)
    return fail(QStringLiteral("Cannot protect the folder %1: %2").arg(path, errnoText(errno)));
  return true;
}

}  // namespace zuvo::files
