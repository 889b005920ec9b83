// File operations that several layers need in the same careful form.
#pragma once

#include <QString>

namespace zuvo::files {

// The system's text for an error number; with a path, "<path>: <text>".
QString errnoText(int errorNumber);
QString errnoText(const QString& path, int errorNumber);

// Renames `from` to `to`, failing with EEXIST when anything is at `to`, checked by the kernel
// in the same step (a document or archive is never silently replaced). Where the file system
// cannot rename that way, a hard link stands in for files. False with the reason in *error and
// the error number in *errorNumber; `from` is left where it was.
bool renameNoReplace(const QString& from, const QString& to, QString* error = nullptr,
                     int* errorNumber = nullptr);

// Creates the folder and its missing parents; the folders it creates get `mode`. True when a
// folder is there afterwards (an existing one is taken as it is).
bool makeFolderPath(const QString& path, unsigned mode = 0700);

// The folder (made when missing, with its parents) is a real folder of this user, not a link,
// with mode 0700 (a wider mode is tightened). False with the reason in *error otherwise.
bool makeOwnerOnlyFolder(const QString& path, QString* error = nullptr);

}  // namespace zuvo::files
