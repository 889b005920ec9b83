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
// After backUpLater: the log lines of the backup named `name`; when no archive was written the
// folder goes to the token's fallback folder through `moveAside`; once the folder is gone its
// kept upload address is forgotten. Returns where the document's last state is: the archive,
// the fallback folder, or the folder itself.
using MoveAside = std::function<bool(const QString& from, const QString& to)>;
QString settleBackup(const QString& name, const QString& token, const QString& folder, const QString& archive,
                     const BackupResult& result, const MoveAside& move = moveAside);

// Main thread. Every letter request uses its token folder from here until released. When no
// other request uses it and it exists, it is left over: it is backed up like a closed
// document first (or moved to the fallback folder), then `next` runs with true. A request
// that comes while the letter's closing steps run waits for their end. `next` gets
// false when the left-over copy could be kept nowhere: the folder stays and the letter is
// not downloaded over it (the user has been told).
void useFolder(const QString& token, const QString& folder, std::function<void(bool usable)> next);
void releaseFolder(const QString& token);
// Main thread. The word processor has closed the folder's document: requests of the token
// wait from then until the end of its closing steps (the last uploads and the backup), which
// also releases the closing request's use.
void beginClosingBackup(const QString& token);
void endClosingBackup(const QString& token);
// Main thread. A request's watcher has seen its document open in the word processor: a later
// request that finds it closed before the closing steps began waits for them.
void folderSeenOpen(const QString& token);
// Main thread. A folder of an earlier run that is watched again in this one. A request of its
// token asks the watcher to stop (`yield`, which calls `stopped` once it has), then the folder
// is backed up like a left-over one before the request downloads the server's copy.
using Yield = std::function<void(std::function<void()> stopped)>;
void adoptFolder(const QString& token, const QString& folder, Yield yield);
// Main thread. A letter of this run is open: a later request of its token stops its watcher
// the same way and keeps its copy in the backup, so that the user sees the server's copy.
void yieldOnRequest(const QString& token, Yield yield);
// Main thread, at start: backs up every token folder whose document is no longer open in the
// word processor (nothing beside it in the folder); requests of those tokens wait for it. A
// folder still open there is handed to `watchAgain`, which watches it as a letter of this run
// when it can (true); otherwise it is backed up like a left-over folder once it is closed.
using WatchAgain = std::function<bool(const QString& token, const QString& folder)>;
void recoverLeftOverFolders(const QString& documentsFolder, const WatchAgain& watchAgain = {});

// The upload address of a letter's request, kept beside the documents folder while the letter
// is open, so that a later run can go on uploading its saves. Empty when none is kept.
bool keepUploadUrl(const QString& token, const QString& url, QString* error);
QString keptUploadUrl(const QString& token);
void forgetUploadUrl(const QString& token);

}  // namespace zuvo::folders
