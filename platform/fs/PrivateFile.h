// Files only this user may read: created exclusively with mode 0600, never through a symlink.
#pragma once

#include <QByteArray>
#include <QString>

namespace zuvo {

// Writes the data to a new temporary file (mode 0600) beside `path`, flushes it and renames
// it over `path`. False with a reason on failure; no temporary file is left behind.
bool writePrivateFileAtomically(const QString& path, const QByteArray& data, QString* error = nullptr);

// Reads a regular file without following a symlink at its place. Empty on failure.
QByteArray readFileNoFollow(const QString& path);

}  // namespace zuvo
