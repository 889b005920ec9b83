#include "editor/DocumentFlow.h"

#include "editor/DocumentChanges.h"

#include <iterator>
#include <utility>

namespace zuvo::flow {

DocumentFlow::DocumentFlow(QString fileName, Services services, bool& uploading)
    : name_(std::move(fileName)), services_(std::move(services)), uploading_(uploading) {}

void DocumentFlow::stopWhenIdle(std::function<void()> stopped) {
  if (stopped_ || closing_) return;
  if (uploading_) {
    stopWhenIdle_ = std::move(stopped);
    return;
  }
  stopped_ = true;
  services_.stopWatching();
  stopped();
}

void DocumentFlow::changed() {
  // Batches that come while the closing steps back the folder up change nothing.
  if (backingUp_ || stopped_ || stopWhenIdle_) return;
  if (services_.folderEntries() != 1) {
    checkForChanges();
    return;
  }
  if (services_.closing) services_.closing();
  // Closed in the word processor. Its last save may still be on its way up, or may have come
  // in the same batch: the closing steps wait until every save has been sent.
  if (uploading_ || checkForChanges() || retryBeforeClosing()) return;  // closed when they end
  close();
}

bool DocumentFlow::retryBeforeClosing() {
  if (!failed_ || closeRetried_) return false;
  closeRetried_ = true;
  failed_.reset();
  return checkForChanges();
}

void DocumentFlow::scheduleRetry() {
  if (retries_ >= int(std::size(kRetryPauses))) return;
  const Time failed = *failed_;
  services_.later(kRetryPauses[retries_++], [this, failed] {
    // Only while that same save is still the one that failed and nothing else runs.
    if (closing_ || stopped_ || uploading_ || failed_ != failed) return;
    if (services_.folderEntries() < 2) return;
    failed_.reset();
    checkForChanges();
  });
}

bool DocumentFlow::checkForChanges() {
  QString why;
  const std::optional<Time> fileTime = services_.fileTime(&why);
  if (!fileTime) {
    error(QStringLiteral("%1 : Error occurred while getting file modified data. Error : %2").arg(name_, why));
    return false;
  }
  services_.record();
  const std::optional<QList<QDateTime>> rows = services_.storedDates(&why);
  if (!rows) {
    error(QStringLiteral("%1 : %2").arg(name_, why));
    return false;
  }
  bool modified = false;
  for (const QDateTime& stored : *rows)
    modified = modified || zuvo::changes::isModifiedSince(*fileTime, stored, handled_);
  // One upload per document at a time: the running one checks again when it ends. A save
  // whose upload failed is not sent again by a batch that brings no newer save.
  if (!modified || uploading_ || (failed_ && *failed_ == *fileTime)) return false;
  info(QStringLiteral("%1 : Document modified").arg(name_));
  upload();
  return uploading_;
}

void DocumentFlow::upload() {
  info(QStringLiteral("%1 : Upload started").arg(name_));
  if (!services_.reachable()) {
    info(QStringLiteral("%1 : Internet connection appears to be offline").arg(name_));
    uploading_ = false;
    lastSaveUnsent_ = true;
    services_.alert(QString(), QStringLiteral("The internet connection appears to be offline."));
    return;
  }
  info(QStringLiteral("%1 : Internet Reachable").arg(name_));
  uploading_ = true;
  services_.notifyUser(QStringLiteral("Uploading..."), QStringLiteral("Uploading document to server"));
  services_.sendSave([this](const SendResult& r) {
    sending_ = r.sent;
    if (r.ok && r.sent)
      uploadDidFinish(*r.sent);
    else
      uploadDidFail(r.sent, r.error);
  });
}

void DocumentFlow::uploadDidFail(std::optional<Time> sent, const QString& why) {
  error(QStringLiteral("%1 : An error occurred while uploading document. Error: %2").arg(name_, why));
  const bool retry = sent && sent == lastFailed_;
  failed_ = sent;
  lastFailed_ = sent;
  lastSaveUnsent_ = true;
  uploading_ = false;
  // The alert does not wait for an answer: the flow goes on at once. Retries of the same save
  // fail silently.
  if (!retry) services_.alert(QStringLiteral("An error occurred while uploading document. Error : %1").arg(why), QString());
  continueAfterUpload();
}

void DocumentFlow::uploadDidFinish(Time sent) {
  // Only now is this save handled: a failed upload leaves it due.
  handled_ = sent;
  failed_.reset();
  lastSaveUnsent_ = false;
  retries_ = 0;
  services_.recordUpload(sent);
  services_.notifyUser(QStringLiteral("File upload completed."), QString());
  info(QStringLiteral("%1 : Upload Completed").arg(name_));
  if (services_.folderEntries() < 2) {
    continueAfterUpload();
    return;
  }
  services_.sendStatus(QStringLiteral("upload"), [this](bool, const QString&) { continueAfterUpload(); });
}

void DocumentFlow::finish(std::function<void()> done) {
  finished_ = std::move(done);
  checkFinished();
}

void DocumentFlow::checkFinished() {
  if (!finished_ || uploading_ || backingUp_) return;  // their ends come back here
  if (!finishTried_ && !stopped_ && !closing_ && !stopWhenIdle_) {
    finishTried_ = true;
    failed_.reset();
    if (checkForChanges()) return;
  }
  std::exchange(finished_, {})();
}

void DocumentFlow::continueAfterUpload() {
  afterUpload();
  checkFinished();
}

void DocumentFlow::afterUpload() {
  uploading_ = false;
  if (stopWhenIdle_) {
    stopWhenIdle(std::exchange(stopWhenIdle_, {}));
    return;
  }
  const int entries = services_.folderEntries();
  if (entries >= 2) {
    if (!checkForChanges() && failed_ && !uploading_) scheduleRetry();
    return;
  }
  // Closed: a save newer than the one just sent goes up before the closing steps, and a
  // failed one is tried once more.
  if (entries == 1 && services_.closing) services_.closing();
  if (entries == 1 && (checkForChanges() || retryBeforeClosing())) return;
  close();
}

void DocumentFlow::close() {
  info(QStringLiteral("%1 : Document was closed.").arg(name_));
  info(QStringLiteral("%1 : Stopped monitoring document").arg(name_));
  services_.closeWindow();
  info(QStringLiteral("%1 : Backup started.").arg(name_));
  closing_ = true;
  backingUp_ = true;
  services_.backUp([this](const QString& kept) {
    backingUp_ = false;
    finishClosing(kept);
    checkFinished();
  });
}

void DocumentFlow::finishClosing(const QString& kept) {
  services_.sendStatus(QStringLiteral("close"), [this](bool ok, const QString& why) {
    if (ok) {
      services_.stopWatching();
      return;
    }
    info(QStringLiteral("%1 : Error occurred while sending status, Error : %2").arg(name_, why));
  });
  // Told once everything is settled and the report is on its way.
  if (lastSaveUnsent_)
    services_.alert(QStringLiteral("The last changes of %1 could not be sent to the server.").arg(name_),
                    QStringLiteral("They are kept only in the backup %1.").arg(kept));
}

}  // namespace zuvo::flow
