// The token folders of the documents folder: their backup off the main thread, and the
// folders left over by an earlier run of the editor (stopped or killed while a letter was
// open), which are backed up before a letter of that token is downloaded again.
#pragma once

#include <QString>
#include <functional>

namespace zuvo::folders {

// Something (a link too) is at the path.
bool existsNoFollow(const QString& path);
// The password of every backup archive.
QByteArray backupPassword();
// "<Backup>/<token>.zip" and the fallback folder "<Backup>/<token>".
QString archivePathFor(const QString& token);
QString fallbackPathFor(const QString& token);

struct BackupResult {
  bool archived = false;     // the archive is written and flushed
  QString archiveError;      // why it was not
  bool removed = false;      // the folder is gone after a good archive
  QString removeError;       // why it was not
};

// Writes the folder's archive on a worker thread and, when it is written, removes the
// folder there too; `done` runs on the main thread afterwards.
void backUpLater(const QString& folder, const QString& archive, std::function<void(const BackupResult&)> done);
// Moves the folder to `to`, never replacing what is there; false (logged) when it stays.
bool moveAside(const QString& from, const QString& to);

// Main thread. Every letter request uses its token folder from here until released. When no
// other request uses it and it exists, it is left over: it is backed up like a closed
// document first (or moved to the fallback folder), then `next` runs with true. `next` gets
// false when the left-over copy could be kept nowhere: the folder stays and the letter is
// not downloaded over it (the user has been told).
void useFolder(const QString& token, const QString& folder, std::function<void(bool usable)> next);
void releaseFolder(const QString& token);
// Main thread. The folder's document is backed up at its close: requests of the token wait
// until the end, which also releases the closing request's use.
void beginClosingBackup(const QString& token);
void endClosingBackup(const QString& token);
// Main thread, at start: backs up every token folder whose document is no longer open in the
// word processor (nothing beside it in the folder); requests of those tokens wait for it.
void recoverLeftOverFolders(const QString& documentsFolder);

}  // namespace zuvo::folders
