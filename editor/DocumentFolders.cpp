#include "editor/DocumentFolders.h"

#include "common/AAPLFileTreeWatcherThread.h"
#include "common/LetterState.h"
#include "common/Log.h"
#include "editor/BackupArchive.h"
#include "editor/DocumentChanges.h"
#include "editor/GlobalData.h"
#include "platform/desktop/Alert.h"
#include "platform/fs/Files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QThreadPool>

#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <utility>
#include <vector>

namespace zuvo::folders {
namespace {

// Who uses a token folder: the requests of this run, and a backup under way (of a left-over
// folder, or at a document's close) that later requests wait for.
struct FolderUse {
  int users = 0;
  bool recovering = false;
  bool closing = false;
  bool seenOpen = false;
  Yield yield;  // set while an earlier run's folder is watched again
  QString folder;
  std::vector<std::function<void(bool)>> waiting;
};

QHash<QString, FolderUse>& uses() {
  static QHash<QString, FolderUse> table;  // main thread only
  return table;
}

void recoveryDone(const QString& token, bool usable) {
  FolderUse& use = uses()[token];
  use.recovering = false;
  auto waiting = std::exchange(use.waiting, {});
  if (use.users == 0 && waiting.empty()) uses().remove(token);
  for (auto& next : waiting) next(usable);
}

// Backs up a folder left over by an earlier run, the way a closed document is, and removes
// it; when no archive can be written it is moved to the fallback folder. The waiting requests
// go on when it is gone, and end when it is still in place.
void recover(const QString& token, const QString& folder) {
  if (zuvo::changes::folderEntryCount(folder) == 0 && QDir().rmdir(folder)) {  // nothing to keep
    recoveryDone(token, true);
    return;
  }
  uses()[token].recovering = true;
  zuvo::logInfo(QStringLiteral("%1 : Left over from an earlier run, backed up before it is used again").arg(token));
  zuvo::logInfo(QStringLiteral("%1 : Backup started.").arg(token));
  backUpLater(folder, archivePathFor(token), [token, folder](const BackupResult& r) {
    settleBackup(token, token, folder, archivePathFor(token), r);
    const bool gone = !existsNoFollow(folder);
    if (!gone)
      zuvo::showAlertLater(QStringLiteral("A copy of a letter left over from an earlier run could not be backed up."),
                           QStringLiteral("It stays in %1 and is not replaced by the server's copy.").arg(folder),
                           {QStringLiteral("Ok")});
    recoveryDone(token, gone);
  });
}

// An earlier run's folder still open in the word processor that no letter of this run can
// watch: it is backed up like a left-over folder once the word processor has closed it.
void recoverOnceClosed(const QString& token, const QString& folder) {
  auto watcher = std::make_shared<std::shared_ptr<AAPLFileTreeWatcherThread>>();
  auto stop = [watcher] {
    if (auto w = std::exchange(*watcher, nullptr)) {
      w->detachChangeHandler();
      w->cancel();
    }
  };
  QString why;
  *watcher = AAPLFileTreeWatcherThread::create(
      folder,
      [token, folder, watcher, stop] {
        if (!*watcher || zuvo::changes::openEntryCount(folder) > 1) return;
        stop();
        FolderUse& use = uses()[token];
        use.yield = {};
        --use.users;
        recover(token, folder);
      },
      /*ignoreOwnChanges=*/true, &why);
  if (!*watcher) {
    zuvo::logError(QStringLiteral("%1 : %2").arg(token, why));
    return;  // backed up when its letter is requested again
  }
  adoptFolder(token, folder, [stop](std::function<void()> stopped) {
    stop();
    stopped();
  });
  (*watcher)->start();
}

QString uploadUrlPath(const QString& token) {
  return QFileInfo(GlobalData::sharedGlobalData().getDatabasePath()).path() + QStringLiteral("/Open/") + token;
}

}  // namespace

bool existsNoFollow(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

QByteArray backupPassword() { return zuvo::letters::backupPassword(); }

QString archivePathFor(const QString& token) {
  return QDir::cleanPath(GlobalData::sharedGlobalData().getBackupDocumentPath()) + QLatin1Char('/') + token +
         QStringLiteral(".zip");
}

QString fallbackPathFor(const QString& token) {
  return QDir::cleanPath(GlobalData::sharedGlobalData().getBackupDocumentPath()) + QLatin1Char('/') + token;
}

bool moveAside(const QString& from, const QString& to) {
  if (!existsNoFollow(from)) return false;
  AAPLFileTreeWatcherThread::noteOwnChange(from);
  QString why;
  if (zuvo::files::renameNoReplace(from, to, &why)) return true;
  zuvo::logInfo(QStringLiteral("%1 : Document Backup was failed. Error : %2").arg(QFileInfo(from).fileName(), why));
  return false;
}

void backUpLater(const QString& folder, const QString& archive, std::function<void(const BackupResult&)> done) {
  // Whether the backup holds a save the server never had is known only now, from the folder.
  zuvo::letters::noteBackedUpFolder(GlobalData::sharedGlobalData().getEditorDataPath(), QFileInfo(folder).fileName(),
                                    folder);
  QThreadPool::globalInstance()->start([folder, archive, done = std::move(done)] {
    BackupResult result;
    result.archived = zuvo::backup::writeFolderArchive(folder, archive, backupPassword(), &result.archiveError);
    if (result.archived) {
      // remove_all does not follow links out of the folder.
      AAPLFileTreeWatcherThread::noteOwnChange(folder);
      std::error_code ec;
      std::filesystem::remove_all(QFile::encodeName(folder).toStdString(), ec);
      result.removed = !ec;
      if (ec) result.removeError = QString::fromStdString(ec.message());
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), [done, result] { done(result); }, Qt::QueuedConnection);
  });
}

QString settleBackup(const QString& name, const QString& token, const QString& folder, const QString& archive,
                     const BackupResult& r, const MoveAside& move) {
  QString kept = folder;
  if (r.archived) {
    kept = archive;
    zuvo::logInfo(QStringLiteral("%1 : Backup completed. Document deleted").arg(name));
    if (!r.removed)
      zuvo::logInfo(QStringLiteral("%1: Deleting document was failed. Error : %2").arg(name, r.removeError));
  } else {
    zuvo::logError(QStringLiteral("%1 : Zipping document was failed").arg(name));
    zuvo::logError(QStringLiteral("%1 : %2").arg(name, r.archiveError));
    const QString fallback = fallbackPathFor(token);
    if (move(folder, fallback)) kept = fallback;
  }
  if (!existsNoFollow(folder)) forgetUploadUrl(token);
  return kept;
}

void useFolder(const QString& token, const QString& folder, std::function<void(bool)> next) {
  FolderUse& use = uses()[token];
  ++use.users;
  use.folder = folder;
  if (use.recovering || use.closing) {
    use.waiting.push_back(std::move(next));
    return;
  }
  struct stat st {};
  const bool isFolder = ::lstat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode);
  // Closed in the word processor, and its watcher has not seen it yet: the request waits for
  // the closing steps rather than reuse the folder under them.
  if (use.users > 1 && use.seenOpen && isFolder && zuvo::changes::openEntryCount(folder) == 1) {
    use.closing = true;
    use.yield = {};
    use.waiting.push_back(std::move(next));
    return;
  }
  if (use.yield) {
    // Still open (from this run or an earlier one): its copy is kept before the server's is
    // downloaded.
    use.waiting.push_back(std::move(next));
    use.recovering = true;
    std::exchange(use.yield, {})([token, folder] {
      --uses()[token].users;
      recover(token, folder);
    });
    return;
  }
  // Another request of this run has it open: the same letter asked for twice goes on with it.
  if (use.users > 1 || !isFolder) {
    next(true);
    return;
  }
  use.waiting.push_back(std::move(next));
  recover(token, folder);
}

void beginClosingBackup(const QString& token) {
  FolderUse& use = uses()[token];
  use.closing = true;
  use.yield = {};  // closing as a letter of this run
}

void folderSeenOpen(const QString& token) {
  if (const auto it = uses().find(token); it != uses().end()) it->seenOpen = true;
}

void adoptFolder(const QString& token, const QString& folder, Yield yield) {
  FolderUse& use = uses()[token];
  ++use.users;
  use.folder = folder;
  use.yield = std::move(yield);
}

void yieldOnRequest(const QString& token, Yield yield) {
  if (const auto it = uses().find(token); it != uses().end() && !it->closing) it->yield = std::move(yield);
}

void endClosingBackup(const QString& token) {
  const auto it = uses().find(token);
  if (it == uses().end()) return;
  it->closing = false;
  auto waiting = std::exchange(it->waiting, {});
  const QString folder = it->folder;
  it->users -= int(waiting.size());
  releaseFolder(token);
  // Asked for again while it was closing: each request starts over, so a folder the backup
  // could not remove is dealt with as a left-over one.
  for (auto& next : waiting) useFolder(token, folder, std::move(next));
}

void releaseFolder(const QString& token) {
  const auto it = uses().find(token);
  if (it == uses().end()) return;
  if (--it->users <= 0 && !it->recovering && !it->closing) uses().erase(it);
}

void recoverLeftOverFolders(const QString& documentsFolder, const WatchAgain& watchAgain) {
  const QDir dir(documentsFolder);
  for (const QString& token : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks)) {
    const QString folder = QDir::cleanPath(dir.filePath(token));
    if (uses().contains(token)) continue;
    // A lock file or the word processor's own files beside the document: still open there.
    if (zuvo::changes::openEntryCount(folder) > 1) {
      if (!watchAgain || !watchAgain(token, folder)) recoverOnceClosed(token, folder);
      continue;
    }
    uses()[token].folder = folder;
    recover(token, folder);
  }
}

bool keepUploadUrl(const QString& token, const QString& url, QString* error) {
  const QString path = uploadUrlPath(token);
  if (!zuvo::files::makeOwnerOnlyFolder(QFileInfo(path).path(), error)) return false;
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) ||
      file.write(url.toUtf8()) < 0 || !file.commit()) {
    if (error) *error = QStringLiteral("%1 (%2)").arg(file.errorString(), path);
    return false;
  }
  return true;
}

QString keptUploadUrl(const QString& token) {
  QFile file(uploadUrlPath(token));
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void forgetUploadUrl(const QString& token) { QFile::remove(uploadUrlPath(token)); }

}  // namespace zuvo::folders
