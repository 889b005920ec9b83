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

// The file's content modification time since the epoch; no value (reason in *error) when
// it cannot be read.
std::optional<std::chrono::nanoseconds> modificationTime(const QString& path, QString* error = nullptr);

// The date as the stored text has it: whole seconds.
QDateTime toDateTime(std::chrono::nanoseconds time);

// The file counts as saved anew when it is more than 1.0 s later than the stored date.
// A stored text that could not be read (invalid date) counts as modified, so that a
// damaged row cannot stop every later upload.
bool isModifiedSince(std::chrono::nanoseconds fileTime, const QDateTime& stored);

}  // namespace zuvo::changes
