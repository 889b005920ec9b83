// The backup of a closed document's folder: a zip archive with WinZip AES-256 entries.
#pragma once

#include <QString>

namespace zuvo::backup {

// Writes every file and sub-folder of `folder` as an entry named by its path relative to
// the folder (the folder itself is no entry), deflated and encrypted with `password`.
// The archive is written beside `archivePath` under a temporary name, checked, and only
// then renamed over any older archive, so a failure leaves the older one as it was.
// Anything that is neither a regular file nor a folder (links, pipes, sockets) fails the
// backup rather than being followed or read. False with the reason in *error on failure.
bool writeFolderArchive(const QString& folder, const QString& archivePath, const QByteArray& password,
                        QString* error = nullptr);

}  // namespace zuvo::backup
