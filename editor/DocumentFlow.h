// The decisions of a watched document, free of I/O: when a save goes up, when a failed one is
// tried again, when the document closes and what the user is told. Everything it needs from
// outside (the folder, the database, HTTP, the backup, alerts, timers, the log) comes through
// the services it is given; completions come back through their callbacks. Main thread only.
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace zuvo::flow {

using Time = std::chrono::nanoseconds;

// The end of one upload of the document's file.
struct SendResult {
  std::optional<Time> sent;  // the modification time of the bytes sent (or meant to be)
  bool ok = false;
  QString error;
};

struct Services {
  std::function<int()> folderEntries;  // entries of the token folder, hidden ones too
  std::function<std::optional<Time>(QString* error)> fileTime;
  std::function<void()> record;  // inserts the document's row when it is still missing
  // The `modified` dates of the token's rows (invalid where unreadable); none when the
  // database could not be read.
  std::function<std::optional<QList<QDateTime>>(QString* error)> storedDates;
  std::function<bool()> reachable;
  std::function<void(const QString& title, const QString& text)> notifyUser;
  // Waits until the file is complete, then uploads it.
  std::function<void(std::function<void(const SendResult&)> done)> sendSave;
  std::function<void(Time sent)> recordUpload;  // the save is on the server (database dates)
  std::function<void(const QString& status, std::function<void(bool ok, const QString& error)> done)> sendStatus;
  std::function<void()> closeWindow;
  // The word processor has closed the document: its closing steps have begun (may be empty).
  std::function<void()> closing;
  // Archives and removes the folder (when it exists), then says where the last state is.
  std::function<void(std::function<void(const QString& kept)> done)> backUp;
  std::function<void()> stopWatching;
  std::function<void(const QString& message, const QString& informative)> alert;  // not waited for
  std::function<void(std::chrono::milliseconds delay, std::function<void()> fn)> later;
  std::function<void(bool error, const QString& line)> log;
};

// Pauses before the retries of a failed upload while the document stays open.
inline constexpr std::chrono::milliseconds kRetryPauses[] = {std::chrono::seconds(10), std::chrono::seconds(30),
                                                             std::chrono::seconds(90)};

class DocumentFlow {
 public:
  // `uploading` is the document's upload flag, owned by its controller.
  DocumentFlow(QString fileName, Services services, bool& uploading);

  // The copy as opened: later saves are the user's, however soon they come.
  void opened(std::optional<Time> asOpened) { handled_ = asOpened; }
  // Watched again after a restart: the copy as found is not sent (it may be older than the
  // server's); only later saves are. `unsent` when it holds a save the server never accepted.
  void watchedAgain(std::optional<Time> asFound, bool unsent) {
    handled_ = asFound;
    lastSaveUnsent_ = unsent;
  }
  // Stops deciding anything for the document, once no upload runs; then `stopped` runs.
  void stopWhenIdle(std::function<void()> stopped);
  // A batch of changes in the token folder.
  void changed();
  // A due save: uploaded when the network is there.
  void upload();
  // The document is closed: backup, "close" report, the user told of an unsent save.
  void close();
  // The editor is asked to finish: a save not on the server yet is sent now, once more after
  // a failure; `done` runs once no upload and no backup of the document runs.
  void finish(std::function<void()> done);

  bool isClosing() const { return closing_; }

 private:
  bool checkForChanges();  // true when an upload started
  bool retryBeforeClosing();
  void scheduleRetry();
  void uploadDidFinish(Time sent);
  void uploadDidFail(std::optional<Time> sent, const QString& error);
  void continueAfterUpload();
  void afterUpload();
  void checkFinished();
  void finishClosing(const QString& kept);
  void info(const QString& line) { services_.log(false, line); }
  void error(const QString& line) { services_.log(true, line); }

  const QString name_;
  Services services_;
  bool& uploading_;
  // Full-precision modification times: the save known to be on the server (or the copy as
  // opened), the one being sent, and the last one whose upload failed.
  std::optional<Time> handled_;
  std::optional<Time> sending_;
  std::optional<Time> failed_;
  std::optional<Time> lastFailed_;  // stays after a retry clears failed_
  bool lastSaveUnsent_ = false;     // the last save is not on the server
  int retries_ = 0;
  bool closeRetried_ = false;
  bool closing_ = false;
  bool backingUp_ = false;
  bool stopped_ = false;
  std::function<void()> stopWhenIdle_;
  std::function<void()> finished_;
  bool finishTried_ = false;
};

}  // namespace zuvo::flow
