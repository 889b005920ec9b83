// Change watching, upload after every save, status reports and the backup at close: the
// document's flow decides (editor/DocumentFlow), this gives it the folder, the database, HTTP,
// the backup and the alerts. Everything here runs on the main thread: the watcher queues its
// handler there and every network completion arrives there.
#include "editor/ViewControllers/DocumentEditController.h"

#include "Deployment.h"
#include "common/AAPLFileTreeWatcherThread.h"
#include "common/DocumentUpload.h"
#include "common/Log.h"
#include "common/Reachability.h"
#include "editor/DocumentChanges.h"
#include "editor/DocumentDatabase.h"
#include "editor/DocumentFlow.h"
#include "editor/DocumentFolders.h"
#include "editor/GlobalData.h"
#include "editor/OfficeLocks.h"
#include "editor/PlaceHolderWindowController.h"
#include "platform/desktop/Alert.h"
#include "platform/net/HttpClient.h"
#include "platform/desktop/WordProcessor.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>
#include <QUrl>

#include <utility>

namespace {

// How long a saved file must stay unchanged before it counts as complete: longer than the
// pauses of a word processor that writes a file in pieces.
constexpr std::chrono::milliseconds kSettleTime{1500};

// How soon the end of a LibreOffice that holds a letter open is noticed.
constexpr std::chrono::milliseconds kLockCheckPause{2000};

QString databasePath() { return GlobalData::sharedGlobalData().getDatabasePath(); }

// upload_url carries its own trailing "/"; nothing is put between the two.
QUrl uploadEndpoint(const DocInfo& info) { return QUrl(info.uploadURL + QStringLiteral("plugin/upload.php")); }

// The platform's default text of a date: UTC, "yyyy-MM-dd HH:mm:ss +0000".
QString uploadedText() {
  return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
         QStringLiteral(" +0000");
}

}  // namespace

zuvo::flow::DocumentFlow& DocumentEditController::flowFor(const std::shared_ptr<DocInfo>& info) {
  if (flow_) return *flow_;
  // The services reach the controller by `this`: every completion still to come holds the
  // controller (and with it the flow), and timers only a weak reference.
  zuvo::flow::Services s;
  s.folderEntries = [info] { return zuvo::changes::openEntryCount(info->destinationFolderPath); };
  s.fileTime = [info](QString* error) { return zuvo::changes::modificationTime(info->destinationFilePath, error); };
  s.record = [this, info] { recordDocument(info); };
  s.storedDates = [info](QString* error) -> std::optional<QList<QDateTime>> {
    const auto rows = zuvo::documentdb::modifiedDates(databasePath(), info->token, error);
    if (!rows) return std::nullopt;
    QList<QDateTime> dates;
    for (const std::optional<QString>& text : *rows) dates << (text ? parseModifiedDate(*text) : QDateTime());
    return dates;
  };
  s.reachable = [] {
    return zuvo::reachability::isHostReachable(QString::fromUtf8(zuvo::deployment::kReachabilityHost));
  };
  s.notifyUser = [](const QString& title, const QString& text) { zuvo::postUserNotification(title, text); };
  s.sendSave = [this, info](std::function<void(const zuvo::flow::SendResult&)> done) {
    settleThenSend(info, std::nullopt, std::move(done));
  };
  s.recordUpload = [this, info](zuvo::flow::Time sent) { recordUpload(info, sent); };
  s.sendStatus = [this, info](const QString& status, std::function<void(bool, const QString&)> done) {
    sendMessagetoServer(info, status,
                        [self = shared_from_this(), done = std::move(done)](const std::optional<QString>& error,
                                                                            bool success) {
                          done(success, error.value_or(QString()));
                        });
  };
  s.closeWindow = [this] {
    if (placeHolderWindowController) placeHolderWindowController->close();
  };
  s.closing = [info] { zuvo::folders::beginClosingBackup(info->token); };
  s.backUp = [this, info](std::function<void(const QString&)> done) { backUpFolder(info, std::move(done)); };
  s.stopWatching = [this] { stopWatchingFolder(); };
  s.alert = [](const QString& message, const QString& informative) {
    zuvo::showAlertLater(message, informative, {QStringLiteral("Ok")});
  };
  s.later = [weak = weak_from_this()](std::chrono::milliseconds delay, std::function<void()> fn) {
    QTimer::singleShot(delay, QCoreApplication::instance(), [weak, fn = std::move(fn)] {
      if (const auto self = weak.lock()) fn();
    });
  };
  s.log = [](bool error, const QString& line) {
    if (error)
      zuvo::logError(line);
    else
      zuvo::logInfo(line);
  };
  flow_ = std::make_unique<zuvo::flow::DocumentFlow>(info->fileName, std::move(s), upload_onProgress);
  return *flow_;
}

void DocumentEditController::receivedNotification(const std::shared_ptr<DocInfo>& info) {
  // The word processor's lock file may come a while after the opening.
  if (zuvo::changes::folderEntryCount(info->destinationFolderPath) >= 2) zuvo::folders::folderSeenOpen(info->token);
  flowFor(info).changed();
  watchLocks(info);
}

void DocumentEditController::watchLocks(const std::shared_ptr<DocInfo>& info) {
  if (lockCheckArmed_ || !fileTreeWatcherThread || (flow_ && flow_->isClosing())) return;
  if (!zuvo::officelocks::folderLocks(info->destinationFolderPath).held) return;
  lockCheckArmed_ = true;
  QTimer::singleShot(kLockCheckPause, QCoreApplication::instance(), [weak = weak_from_this(), info] {
    const auto self = weak.lock();
    if (!self) return;
    self->lockCheckArmed_ = false;
    if (!self->fileTreeWatcherThread) return;
    const zuvo::officelocks::FolderLocks locks = zuvo::officelocks::folderLocks(info->destinationFolderPath);
    if (locks.held)
      self->watchLocks(info);
    else if (locks.leftOverEntries > 0)
      self->receivedNotification(info);
    // A lock that is gone was removed by LibreOffice itself: the watcher reports that.
  });
}

void DocumentEditController::backUpFolder(const std::shared_ptr<DocInfo>& info,
                                          std::function<void(const QString& kept)> done) {
  const QString folder =
      QDir::cleanPath(GlobalData::sharedGlobalData().getDocumentDownloadPath() + QLatin1Char('/') + info->token);
  zuvo::folders::beginClosingBackup(info->token);
  // When the other path has closed this document already, the folder is gone and its
  // archive stays as it is.
  if (!zuvo::folders::existsNoFollow(folder)) {
    zuvo::folders::endClosingBackup(info->token);
    done(folder);
    return;
  }
  // The archive is written off the main thread: other documents' saves go up meanwhile.
  const QString archive = zuvo::folders::archivePathFor(info->token);
  auto self = shared_from_this();
  zuvo::folders::backUpLater(
      folder, archive, [self, info, folder, archive, done = std::move(done)](const zuvo::folders::BackupResult& r) {
        const QString& name = info->fileName;
        const QString kept = zuvo::folders::settleBackup(
            name, info->token, folder, archive, r,
            [&self](const QString& from, const QString& to) { return self->moveFilefrom(from, to); });
        if (!r.archived && zuvo::folders::existsNoFollow(kept))
          zuvo::showAlertLater(QStringLiteral("The backup of %1 could not be written.").arg(name),
                               QStringLiteral("The document is kept in %1.").arg(kept), {QStringLiteral("Ok")});
        zuvo::folders::endClosingBackup(info->token);
        done(kept);
      });
}

void DocumentEditController::stopWatchingFolder() {
  if (std::shared_ptr<AAPLFileTreeWatcherThread> watcher = std::exchange(fileTreeWatcherThread, nullptr)) {
    watcher->detachChangeHandler();
    watcher->cancel();
  }
  cancel();
}

bool DocumentEditController::moveFilefrom(const QString& from, const QString& to) {
  return zuvo::folders::moveAside(from, to);
}

void DocumentEditController::uploadWordDocument(const std::shared_ptr<DocInfo>& info) { flowFor(info).upload(); }

// A save is sent only once the file has stopped changing: its size and modification time
// stay the same over the settle time, and while its bytes are read.
void DocumentEditController::settleThenSend(const std::shared_ptr<DocInfo>& info,
                                            std::optional<zuvo::changes::FileState> seen,
                                            std::function<void(const zuvo::flow::SendResult&)> done) {
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
                       [self, info, now, done] { self->settleThenSend(info, now, done); });
    return;
  }
  if (!body) {
    // An empty body would overwrite the server's copy: fail as a transfer would, later on
    // the main thread, so the current pass starts nothing more.
    const zuvo::flow::SendResult failed{now ? std::optional(now->modified) : std::nullopt, false, error};
    QTimer::singleShot(0, QCoreApplication::instance(), [self, failed, done] { done(failed); });
    return;
  }
  const std::chrono::nanoseconds sent = now->modified;
  zuvo::http::SessionManager::manager()->dataTask(
      "POST", uploadEndpoint(*info), *body, zuvo::upload::multipartContentType(), {},
      [self, sent, done](const zuvo::http::Result& result) {
        done({sent, result.ok(), result.ok() ? QString() : result.error.description});
      });
}

void DocumentEditController::recordUpload(const std::shared_ptr<DocInfo>& info, std::chrono::nanoseconds sent) {
  recordServerCopy(info, sent);
  const QString& name = info->fileName;
  const QString db = databasePath();
  QString why;
  if (!zuvo::documentdb::updateModified(db, formatModifiedDate(zuvo::changes::toDateTime(sent)), info->token, &why)) {
    zuvo::logError(QStringLiteral("%1 : Error occurred while updating modified status in database").arg(name));
    zuvo::logError(QStringLiteral("%1 : %2").arg(name, why));
  }
  if (!zuvo::documentdb::updateUploaded(db, uploadedText(), name, &why)) {
    zuvo::logError(QStringLiteral("%1 : An error occurred while update document modified date into database")
                       .arg(name));
    zuvo::logError(QStringLiteral("%1 : %2").arg(name, why));
  }
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
