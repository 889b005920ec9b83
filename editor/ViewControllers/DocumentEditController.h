// Carries one document from the notification to its end: download, opening in the word
// processor, watching, upload and backup. Its own thread runs only the first steps; every
// later step runs on the main thread.
//
// Lifetime: no list of controllers exists. The controller is held by shared ownership,
// first by its running thread, then by its download's completion, then by its folder
// watcher's handler; it is released when the watcher is stopped.
#pragma once

#include "editor/DocInfo.h"
#include "editor/DocumentChanges.h"

#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class AAPLFileTreeWatcherThread;
class PlaceHolderWindowController;

class DocumentEditController : public std::enable_shared_from_this<DocumentEditController> {
 public:
  static std::shared_ptr<DocumentEditController> create();
  ~DocumentEditController();

  // Properties, set by the dispatch before start().
  std::shared_ptr<PlaceholderDictionary> placeHolderDic;
  QString currentPlaceHolderElement;
  bool upload_onProgress = false;
  std::shared_ptr<PlaceHolderWindowController> placeHolderWindowController;
  std::optional<QString> download_url;
  QString is_new_doc;
  std::optional<QString> placeholder_url;
  std::optional<QString> upload_url;
  bool is_template_doc = false;
  std::optional<QString> xml_path;

  // Begins a new thread that runs main(); the thread holds the controller while it runs.
  void start();
  // The thread's body.
  void main();
  // Marks the controller's thread cancelled (its body has ended by then; nothing polls it).
  void cancel() { cancelled_ = true; }
  bool isCancelled() const { return cancelled_; }
  // The thread's body has returned.
  bool isFinished() const { return finished_; }

  // Download and placeholder list.
  void downloadWordDocument();
  bool wordApplicationInstalled();
  bool getPlaceholderDatawithURL(const QString& url);
  void downloadDocumentAtUrl(const QString& url);
  // The list reader: the body as 7-bit ASCII, bare "&" allowed, parsed with the callbacks
  // below (the end of the document starts the download). False when it does not parse.
  bool parsePlaceholderList(const QByteArray& body);
  void parserDidStartElement(const QString& elementName);
  void parserFoundCharacters(const QString& piece);
  void parserDidEndElement(const QString& elementName);
  void parserDidEndDocument();
  void parserParseErrorOccurred(const QString& error);

  // Opening in the word processor and placeholder filling (main thread).
  void downloadDidFinish(const std::shared_ptr<DocInfo>& info);
  void openWordDocument(const std::shared_ptr<DocInfo>& info);

  // Change watching, database and close with backup (main thread).
  void receivedNotification(const std::shared_ptr<DocInfo>& info);
  void stopWatchingFolder();
  bool moveFilefrom(const QString& from, const QString& to);

  // Upload and status reports (main thread).
  void uploadWordDocument(const std::shared_ptr<DocInfo>& info);
  // The callback runs once on the main thread: (no error, true) or (the error's text, false).
  using StatusCallback = std::function<void(const std::optional<QString>& error, bool success)>;
  void sendMessagetoServer(const std::shared_ptr<DocInfo>& info, const QString& status,
                           StatusCallback callback);

  // Fields without accessors.
  std::shared_ptr<AAPLFileTreeWatcherThread> fileTreeWatcherThread;
  // "yyyy-MM-dd HH:mm:ss" in the user's time zone (Gregorian, ASCII digits).
  static QString formatModifiedDate(const QDateTime& date);
  static QDateTime parseModifiedDate(const QString& text);

 private:
  DocumentEditController() = default;

  // Change watching and upload steps (main thread).
  bool checkForChanges(const std::shared_ptr<DocInfo>& info);  // true when an upload started
  void runClosingSteps(const std::shared_ptr<DocInfo>& info);
  // After the backup: the "close" report, and the user told where an unsent save is kept.
  void finishClosing(const std::shared_ptr<DocInfo>& info, const QString& kept);
  void startDownload(const QUrl& url, const QString& token, const QString& fileName, const QString& folder,
                     const QString& finalPath, const QString& partPath);
  void sendUpload(const std::shared_ptr<DocInfo>& info);
  void settleThenSend(const std::shared_ptr<DocInfo>& info, std::optional<zuvo::changes::FileState> seen);
  void uploadDidFinish(const std::shared_ptr<DocInfo>& info);
  void uploadDidFail(const std::shared_ptr<DocInfo>& info, const QString& error);
  // After every upload, good or failed: a newer save goes up next, or the document closes.
  void continueAfterUpload(const std::shared_ptr<DocInfo>& info);
  // Inserts the document's row when it is still missing (the database was busy or broken at
  // the opening). False, with the reason in *error, when it is missing still.
  bool recordDocument(const std::shared_ptr<DocInfo>& info, std::optional<QString>* error = nullptr);
  std::optional<QString> unrecordedModified_;  // the row's `modified` while the row is missing
  // The document closed while a save was being uploaded: close once the uploads are done.
  bool close_afterUpload = false;
  // Full-precision modification times: the save known to be on the server (or the copy as
  // opened), the one being sent, and the last one whose upload failed.
  std::optional<std::chrono::nanoseconds> handledTime_;
  std::optional<std::chrono::nanoseconds> sendingTime_;
  std::optional<std::chrono::nanoseconds> failedTime_;
  // The last save is not on the server (its upload failed, or the network was away).
  bool lastSaveUnsent_ = false;
  std::optional<std::chrono::nanoseconds> lastFailedSave_;  // stays after a retry clears failedTime_
  // Retries of a failed save while the document stays open, and the one at its close.
  int retries_ = 0;
  bool closeRetried_ = false;
  bool closing_ = false;
  bool backingUp_ = false;  // the closing steps' archive is being written
  void scheduleRetry(const std::shared_ptr<DocInfo>& info);
  // The closing steps, after one more try of a save whose upload failed. True when that try
  // started (its completion closes).
  bool retryBeforeClosing(const std::shared_ptr<DocInfo>& info);
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finished_{false};
};
