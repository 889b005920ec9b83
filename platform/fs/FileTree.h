// Whole folder trees: copied without ever replacing or half-filling a destination, and
// removed without following symbolic links. (The never-replacing rename is in Files.h.)
#pragma once

#include <QString>

namespace zuvo::files {

// Copies the file or folder tree (modes and symbolic links kept) into a temporary name beside
// the destination and renames it there without replacing. An existing destination stays
// untouched (EEXIST); on any failure nothing is left behind.
bool copyTreeNoReplace(const QString& source, const QString& destination, QString* error = nullptr);

// Removes the file, symbolic link or folder tree; links are removed, never followed.
// A missing path is no error.
bool removeTree(const QString& path, QString* error = nullptr);

// Writes the file through a temporary file renamed over it in one step.
bool writeFileAtomically(const QString& path, const QByteArray& content, QString* error = nullptr);

}  // namespace zuvo::files
