// Change watching, upload after every save, status reports and the backup at close.
// Everything here runs on the main thread: the watcher queues its handler there and every
// network completion arrives there.
#include "editor/ViewControllers/DocumentEditController.h"

#include "Deployment.h"
#include "common/AAPLFileTreeWatcherThread.h"
#include "common/DocumentUpload.h"
#include "common/Log.h"
#include "common/Reachability.h"
#include "editor/BackupArchive.h"
#include "editor/DocumentChanges.h"
#include "editor/DocumentDatabase.h"
#include "editor/GlobalData.h"
#include "editor/PlaceHolderWindowController.h"
#include "platform/Files.h"
#include "platform/Alert.h"
#include "platform/HttpClient.h"
#include "platform/WordProcessor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace {

constexpr char kBackupPassword[] = "Kavrel902476";
// How long a saved file must stay unchanged before it counts as complete: longer than the
// pauses of a word processor that writes a file in pieces.
constexpr std::chrono::milliseconds kSettleTime{1500};
// Pauses before the retries of a failed upload while the document stays open.
constexpr std::chrono::milliseconds kRetryPauses[] = {std::chrono::seconds(10), std::chrono::seconds(30),
                                                      std::chrono::seconds(90)};

QString databasePath() { return GlobalData::sharedGlobalData().getDatabasePath(); }

// upload_url carries its own trailing "/"; nothing is put between the two.
QUrl uploadEndpoint(const DocInfo& info) { return QUrl(info.uploadURL + QStringLiteral("plugin/upload.php")); }

// The platform's default text of a date: UTC, "yyyy-MM-dd HH:mm:ss +0000".
QString uploadedText() {
  return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
         QStringLiteral(" +0000");
}

bool existsNoFollow(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

}  // namespace

void DocumentEditController::receivedNotification(const std::shared_ptr<DocInfo>& info) {
  if (zuvo::changes::folderEntryCount(info->destinationFolderPath) != 1) {
    checkForChanges(info);
    return;
  }
  // Closed in the word processor. Its last save may still be on its way up, or may have come
  // in the same batch: the closing steps wait until every save has been sent.
  if (upload_onProgress) {
    close_afterUpload = true;
    return;
  }
  if (checkForChanges(info) || retryBeforeClosing(info)) {
    close_afterUpload = true;
    return;
  }
  runClosingSteps(info);
}

bool DocumentEditController::retryBeforeClosing(const std::shared_ptr<DocInfo>& info) {
  if (!failedTime_ || closeRetried_) return false;
  closeRetried_ = true;
  failedTime_.reset();
  return checkForChanges(info);
}

void DocumentEditController::scheduleRetry(const std::shared_ptr<DocInfo>& info) {
  if (retries_ >= int(std::size(kRetryPauses))) return;
  const std::weak_ptr<DocumentEditController> weak = weak_from_this();
  const std::chrono::nanoseconds failed = *failedTime_;
  QTimer::singleShot(kRetryPauses[retries_++], QCoreApplication::instance(), [weak, info, failed] {
    const auto self = weak.lock();
    // Only while that same save is still the one that failed and nothing else runs.
    if (!self || self->closing_ || self->upload_onProgress || self->failedTime_ != failed) return;
    if (zuvo::changes::folderEntryCount(info->destinationFolderPath) < 2) return;
    self->failedTime_.reset();
    self->checkForChanges(info);
  });
}

bool DocumentEditController::checkForChanges(const std::shared_ptr<DocInfo>& info) {
  QString error;
  const auto fileTime = zuvo::changes::modificationTime(info->destinationFilePath, &error);
  if (!fileTime) {
    zuvo::logError(QStringLiteral("%1 : Error occurred while getting file modified data. Error : %2")
                       .arg(info->fileName, error));
    return false;
  }
  recordDocument(info);
  QString why;
  const auto rows = zuvo::documentdb::modifiedDates(databasePath(), info->token, &why);
  if (!rows) {
    zuvo::logError(QStringLiteral("%1 : %2").arg(info->fileName, why));
    return false;
  }
  bool modified = false;
  for (const std::optional<QString>& text : *rows) {
    const QDateTime stored = text ? parseModifiedDate(*text) : QDateTime();
    modified = modified || zuvo::changes::isModifiedSince(*fileTime, stored, handledTime_);
  }
  // One upload per document at a time: the running one checks again when it ends. A save
  // whose upload failed is not sent again by a batch that brings no newer save.
  if (!modified || upload_onProgress || (failedTime_ && *failedTime_ == *fileTime)) return false;
  zuvo::logInfo(QStringLiteral("%1 : Document modified").arg(info->fileName));
  uploadWordDocument(info);
  return upload_onProgress;
}

void DocumentEditController::runClosingSteps(const std::shared_ptr<DocInfo>& info) {
  const QString& name = info->fileName;
  zuvo::logInfo(QStringLiteral("%1 : Document was closed.").arg(name));
  zuvo::logInfo(QStringLiteral("%1 : Stopped monitoring document").arg(name));
  if (placeHolderWindowController) placeHolderWindowController->close();
  zuvo::logInfo(QStringLiteral("%1 : Backup started.").arg(name));
  closing_ = true;

  const GlobalData& data = GlobalData::sharedGlobalData();
  const QString folder = QDir::cleanPath(data.getDocumentDownloadPath() + QLatin1Char('/') + info->token);
  const QString backupFolder = QDir::cleanPath(data.getBackupDocumentPath());
  // When the other path has closed this document already, the folder is gone and its
  // archive stays as it is.
  const QString archive = backupFolder + QLatin1Char('/') + info->token + QStringLiteral(".zip");
  QString kept = folder;  // where the document's last state is
  if (existsNoFollow(folder)) {
    QString why;
    if (zuvo::backup::writeFolderArchive(folder, archive, kBackupPassword, &why)) {
      kept = archive;
      zuvo::logInfo(QStringLiteral("%1 : Backup completed. Document deleted").arg(name));
      // remove_all does not follow links out of the folder.
      AAPLFileTreeWatcherThread::noteOwnChange(folder);
      std::error_code ec;
      std::filesystem::remove_all(QFile::encodeName(folder).toStdString(), ec);
      if (ec)
        zuvo::logInfo(QStringLiteral("%1: Deleting document was failed. Error : %2")
                          .arg(name, QString::fromStdString(ec.message())));
    } else {
      zuvo::logError(QStringLiteral("%1 : Zipping document was failed").arg(name));
      if (moveFilefrom(folder, backupFolder + QLatin1Char('/') + info->token))
        kept = backupFolder + QLatin1Char('/') + info->token;
    }
  }

  auto self = shared_from_this();
  sendMessagetoServer(info, QStringLiteral("close"),
                      [self, info](const std::optional<QString>& error, bool success) {
                        if (success) {
                          self->stopWatchingFolder();
                          return;
                        }
                        zuvo::logInfo(QStringLiteral("%1 : Error occurred while sending status, Error : %2")
                                          .arg(info->fileName, error.value_or(QString())));
                      });
  // Told once everything is settled and the report is on its way.
  if (lastSaveUnsent_)
    zuvo::showAlert(QStringLiteral("The last changes of %1 could not be sent to the server.").arg(name),
                    QStringLiteral("They are kept only in the backup %1.").arg(kept), {QStringLiteral("Ok")});
  if (kept != archive && existsNoFollow(kept)) zuvo::showAlert(QStringLiteral("The backup of %1 could not be written.").arg(name), QStringLiteral("The document is kept in %1.").arg(kept), {QStringLiteral("Ok")});
}

void DocumentEditController::stopWatchingFolder() {
  if (std::shared_ptr<AAPLFileTreeWatcherThread> watcher = std::exchange(fileTreeWatcherThread, nullptr)) {
    watcher->detachChangeHandler();
    watcher->cancel();
  }
  cancel();
}

bool DocumentEditController::moveFilefrom(const QString& from, const QString& to) {
  if (!existsNoFollow(from)) return false;
  AAPLFileTreeWatcherThread::noteOwnChange(from);
  QString why;
  if (zuvo::files::renameNoReplace(from, to, &why)) return true;
  zuvo::logInfo(QStringLiteral("%1 : Document Backup was failed. Error : %2")
                    .arg(QFileInfo(from).fileName(), why));
  return false;
}

void DocumentEditController::uploadWordDocument(const std::shared_ptr<DocInfo>& info) {
  const QString& name = info->fileName;
  zuvo::logInfo(QStringLiteral("%1 : Upload started").arg(name));
  if (!zuvo::reachability::isHostReachable(QString::fromUtf8(zuvo::deployment::kReachabilityHost))) {
    zuvo::logInfo(QStringLiteral("%1 : Internet connection appears to be offline").arg(name));
    upload_onProgress = false;
    lastSaveUnsent_ = true;
    zuvo::showAlert(QString(), QStringLiteral("The internet connection appears to be offline."),
                    {QStringLiteral("Ok")});
    return;
  }
  zuvo::logInfo(QStringLiteral("%1 : Internet Reachable").arg(name));
  upload_onProgress = true;
  zuvo::postUserNotification(QStringLiteral("Uploading..."), QStringLiteral("Uploading document to server"));
  sendUpload(info);
}

void DocumentEditController::sendUpload(const std::shared_ptr<DocInfo>& info) { settleThenSend(info, std::nullopt); }

// A save is sent only once the file has stopped changing: its size and modification time
// stay the same over the settle time, and while its bytes are read.
void DocumentEditController::settleThenSend(const std::shared_ptr<DocInfo>& info,
                                            std::optional<zuvo::changes::FileState> seen) {
  auto self = shared_from_this();
  QString error;
  const std::optional<zuvo::changes::FileState> now = zuvo::changes::fileState(info->destinationFilePath, &error);
  std::optional<QByteArray> body;
  bool settled = now && seen == now;
  if (settled) {
    body = zuvo::upload::multipartBodyFromFile(info->fileName, info->destinationFilePath, {}, &error);
    settled = !body || zuvo::changes::fileState(info->destinationFilePath) == now;
  }
  if (now && !settled) {
    QTimer::singleShot(kSettleTime, QCoreApplication::instance(),
                       [self, info, now] { self->settleThenSend(info, now); });
    return;
  }
  if (!body) {
    // An empty body would overwrite the server's copy: fail as a transfer would, later on
    // the main thread, so the current pass starts nothing more.
    sendingTime_ = now ? std::optional(now->modified) : std::nullopt;
    QTimer::singleShot(0, QCoreApplication::instance(),
                       [self, info, error] { self->uploadDidFail(info, error); });
    return;
  }
  sendingTime_ = now->modified;
  zuvo::http::SessionManager::manager()->dataTask(
      "POST", uploadEndpoint(*info), *body, zuvo::upload::multipartContentType(), {},
      [self, info](const zuvo::http::Result& result) {
        if (result.ok())
          self->uploadDidFinish(info);
        else
          self->uploadDidFail(info, result.error.description);
      });
}

void DocumentEditController::uploadDidFail(const std::shared_ptr<DocInfo>& info, const QString& error) {
  zuvo::logError(QStringLiteral("%1 : An error occurred while uploading document. Error: %2")
                     .arg(info->fileName, error));
  const bool retry = sendingTime_ && sendingTime_ == lastFailedSave_;
  failedTime_ = sendingTime_;
  lastFailedSave_ = sendingTime_;
  lastSaveUnsent_ = true;
  // The flag stays set while the alert is up, so a batch handled meanwhile only marks what
  // is due; the flow goes on once it is answered. Retries of the same save fail silently.
  if (!retry)
    zuvo::showAlert(QStringLiteral("An error occurred while uploading document. Error : %1").arg(error),
                    QString(), {QStringLiteral("Ok")});
  continueAfterUpload(info);
}

void DocumentEditController::uploadDidFinish(const std::shared_ptr<DocInfo>& info) {
  const QString& name = info->fileName;
  const QString db = databasePath();
  QString why;
  // Only now is this save handled: a failed upload leaves it due.
  handledTime_ = sendingTime_;
  failedTime_.reset();
  lastSaveUnsent_ = false;
  retries_ = 0;
  if (sendingTime_ && !zuvo::documentdb::updateModified(
                          db, formatModifiedDate(zuvo::changes::toDateTime(*sendingTime_)), info->token, &why)) {
    zuvo::logError(QStringLiteral("%1 : Error occurred while updating modified status in database").arg(name));
    zuvo::logError(QStringLiteral("%1 : %2").arg(name, why));
  }
  if (!zuvo::documentdb::updateUploaded(db, uploadedText(), name, &why)) {
    zuvo::logError(QStringLiteral("%1 : An error occurred while update document modified date into database")
                       .arg(name));
    zuvo::logError(QStringLiteral("%1 : %2").arg(name, why));
  }
  zuvo::postUserNotification(QStringLiteral("File upload completed."), QString());
  zuvo::logInfo(QStringLiteral("%1 : Upload Completed").arg(name));

  if (zuvo::changes::folderEntryCount(info->destinationFolderPath) < 2) {
    continueAfterUpload(info);
    return;
  }
  auto self = shared_from_this();
  sendMessagetoServer(info, QStringLiteral("upload"),
                      [self, info](const std::optional<QString>&, bool) { self->continueAfterUpload(info); });
}

void DocumentEditController::continueAfterUpload(const std::shared_ptr<DocInfo>& info) {
  upload_onProgress = false;
  const int entries = zuvo::changes::folderEntryCount(info->destinationFolderPath);
  if (entries >= 2) {
    close_afterUpload = false;
    if (!checkForChanges(info) && failedTime_ && !upload_onProgress) scheduleRetry(info);
    return;
  }
  // Closed: a save newer than the one just sent goes up before the closing steps, and a
  // failed one is tried once more.
  if (entries == 1 && (checkForChanges(info) || retryBeforeClosing(info))) {
    close_afterUpload = true;
    return;
  }
  close_afterUpload = false;
  runClosingSteps(info);
}

void DocumentEditController::sendMessagetoServer(const std::shared_ptr<DocInfo>& info, const QString& status,
                                                 StatusCallback callback) {
  zuvo::logInfo(QStringLiteral("%1 : Sending message to server with status %2").arg(info->fileName, status));
  zuvo::http::SessionManager::manager()->dataTask(
      "POST", uploadEndpoint(*info), zuvo::upload::statusBody(status, info->token, info->fileName),
      std::nullopt, {}, [info, callback = std::move(callback)](const zuvo::http::Result& result) {
        if (!result.ok()) {
          zuvo::logError(QStringLiteral("%1 - An error occurred while updating status. Error : %2")
                             .arg(info->fileName, result.error.description));
          if (callback) callback(result.error.description, false);
          return;
        }
        if (callback) callback(std::nullopt, true);
      });
}
