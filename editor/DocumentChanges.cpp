#include "editor/DocumentChanges.h"

#include "editor/OfficeLocks.h"
#include "platform/fs/Files.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace zuvo::changes {

int folderEntryCount(const QString& folder) {
  // System takes in broken links, sockets and pipes: every entry counts.
  return int(QDir(folder)
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                 .size());
}

int openEntryCount(const QString& folder) {
  const int all = folderEntryCount(folder);
  return all < 2 ? all : all - zuvo::officelocks::folderLocks(folder).leftOverEntries;
}

std::optional<FileState> fileState(const QString& path, QString* error) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
    if (error) *error = files::errnoText(path, errno);
    return std::nullopt;
  }
  return FileState{qint64(st.st_size),
                   std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)};
}

std::optional<std::chrono::nanoseconds> modificationTime(const QString& path, QString* error) {
  const std::optional<FileState> state = fileState(path, error);
  if (!state) return std::nullopt;
  return state->modified;
}

QDateTime toDateTime(std::chrono::nanoseconds time) {
  return QDateTime::fromSecsSinceEpoch(std::chrono::floor<std::chrono::seconds>(time).count());
}

bool isModifiedSince(std::chrono::nanoseconds fileTime, const QDateTime& stored,
                     std::optional<std::chrono::nanoseconds> handled) {
  if (handled) return fileTime > *handled;
  if (!stored.isValid()) return true;
  const std::chrono::nanoseconds storedTime = std::chrono::milliseconds(stored.toMSecsSinceEpoch());
  return fileTime - storedTime >= std::chrono::seconds(1);
}

}  // namespace zuvo::changes
