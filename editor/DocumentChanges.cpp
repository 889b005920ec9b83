#include "editor/DocumentChanges.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace zuvo::changes {

namespace {
QString errnoText(const QString& path, int err) {
  return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err)));
}
}  // namespace

int folderEntryCount(const QString& folder) {
  // System takes in broken links, sockets and pipes: every entry counts.
  return int(QDir(folder)
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                 .size());
}

std::optional<std::chrono::nanoseconds> modificationTime(const QString& path, QString* error) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
    if (error) *error = errnoText(path, errno);
    return std::nullopt;
  }
  return std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
}

QDateTime toDateTime(std::chrono::nanoseconds time) {
  return QDateTime::fromSecsSinceEpoch(std::chrono::floor<std::chrono::seconds>(time).count());
}

bool isModifiedSince(std::chrono::nanoseconds fileTime, const QDateTime& stored) {
  if (!stored.isValid()) return true;
  const std::chrono::nanoseconds storedTime = std::chrono::milliseconds(stored.toMSecsSinceEpoch());
  return fileTime - storedTime > std::chrono::seconds(1);
}

bool moveWithoutReplacing(const QString& from, const QString& to, QString* error) {
  if (::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                  QFile::encodeName(to).constData(), RENAME_NOREPLACE) == 0)
    return true;
  if (error)
    *error = QStringLiteral("Cannot move %1 to %2: %3")
                 .arg(from, to, QString::fromLocal8Bit(std::strerror(errno)));
  return false;
}

}  // namespace zuvo::changes
