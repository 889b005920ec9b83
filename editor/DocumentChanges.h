// File-system questions of a watched document: is it alone in its folder, has it been saved
// since the stored date.
#pragma once

#include <QDateTime>
#include <QString>
#include <chrono>
#include <optional>

namespace zuvo::changes {

// Entries of a shallow listing, hidden ones included; a missing or unreadable folder has 0.
int folderEntryCount(const QString& folder);
// The entries that keep the document open: all of them but the lock files (and the save
// leftovers) of a LibreOffice that is gone.
int openEntryCount(const QString& folder);

// The file's content modification time since the epoch; no value (reason in *error) when
// it cannot be read.
std::optional<std::chrono::nanoseconds> modificationTime(const QString& path, QString* error = nullptr);

// What tells a file still being written from a finished one.
struct FileState {
  qint64 size = 0;
  std::chrono::nanoseconds modified{};
  bool operator==(const FileState&) const = default;
};
// No value (reason in *error) when the file cannot be read.
std::optional<FileState> fileState(const QString& path, QString* error = nullptr);

// The date as the stored text has it: whole seconds.
QDateTime toDateTime(std::chrono::nanoseconds time);

// The file counts as saved anew when it is later than the save last handled, compared to the
// nanosecond. Without that time, only the stored text (whole seconds) is known: the file then
// counts when it lies in a later second, and a stored text that could not be read (invalid
// date) counts as modified, so that a damaged row cannot stop every later upload.
bool isModifiedSince(std::chrono::nanoseconds fileTime, const QDateTime& stored,
                     std::optional<std::chrono::nanoseconds> handled = std::nullopt);

}  // namespace zuvo::changes
