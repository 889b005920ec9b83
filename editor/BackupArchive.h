// The backup of a closed document's folder: a zip archive with WinZip AES-256 entries.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace zuvo::backup {

// Writes every file and sub-folder of `folder` as an entry named by its path relative to
// the folder (the folder itself is no entry), encrypted with `password`: deflated, or stored
// when it does not compress (zip-based documents, images, archives; judged by content).
// The archive is written beside `archivePath` under a temporary name, checked and flushed
// to disk; an older archive at `archivePath` is kept under datedArchivePath() (it may hold the
// only copy of an earlier edit), and the new one takes its name, with the folder's entries
// flushed too. A failure leaves the older archive as it was.
// Anything that is neither a regular file nor a folder (links, pipes, sockets) fails the
// backup rather than being followed or read. False with the reason in *error on failure.
bool writeFolderArchive(const QString& folder, const QString& archivePath, const QByteArray& password,
                        QString* error = nullptr);

// Removes what an interrupted writeFolderArchive left in `backupFolder`: its temporary files
// ("<name>.zip." and six letters or digits, and libzip's, which adds "." and six more), never
// an archive. Only regular files, links are not
// followed. The names removed; a file that could not be removed is named in *errors.
QStringList removeInterruptedArchives(const QString& backupFolder, QStringList* errors = nullptr);

// "<name>-yyyyMMdd-HHmmss.zip" beside "<name>.zip", by the local time the older archive was
// written; from n = 2 on, "-<n>" follows for archives written within the same second.
QString datedArchivePath(const QString& archivePath, const QDateTime& written, int n = 1);

}  // namespace zuvo::backup
