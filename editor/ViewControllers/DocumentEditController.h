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
#include "editor/DocumentFlow.h"

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

  // At start: watches a letter an earlier run opened and the word processor still has open,
  // as if this run had opened it. False when its record cannot be rebuilt.
  static bool watchAgain(const QString& token, const QString& folder);

  // The plug-in is being removed: every watched letter sends the save the server does not
  // have yet (see DocumentFlow::finish); `done` runs on the main thread once all have.
  static void finishAll(std::function<void()> done);

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

  // The document's decisions, made on the first use with the document's services.
  zuvo::flow::DocumentFlow& flowFor(const std::shared_ptr<DocInfo>& info);
  std::unique_ptr<zuvo::flow::DocumentFlow> flow_;
  // The services' work.
  void settleThenSend(const std::shared_ptr<DocInfo>& info, std::optional<zuvo::changes::FileState> seen,
                      std::function<void(const zuvo::flow::SendResult&)> done);
  void recordUpload(const std::shared_ptr<DocInfo>& info, std::chrono::nanoseconds sent);
  // The copy of this modification time is the server's (kept where the installer reads it).
  static void recordServerCopy(const std::shared_ptr<DocInfo>& info, std::chrono::nanoseconds modified);
  // Counted among the letters finishAll asks.
  void noteWatched();
  // Archives and removes the token folder off the main thread (or moves it aside), then says
  // where the document's last state is.
  void backUpFolder(const std::shared_ptr<DocInfo>& info, std::function<void(const QString& kept)> done);
  bool startWatching(const std::shared_ptr<DocInfo>& info);
  // While a running LibreOffice holds the document's lock, looks again now and then: its end
  // (killed, crashed) brings no file event, and the lock it leaves behind no longer keeps the
  // document open.
  void watchLocks(const std::shared_ptr<DocInfo>& info);
  bool lockCheckArmed_ = false;
  void startDownload(const QUrl& url, const QString& token, const QString& fileName, const QString& folder,
                     const QString& finalPath, const QString& partPath);
  // Inserts the document's row when it is still missing (the database was busy or broken at
  // the opening). False, with the reason in *error, when it is missing still.
  bool recordDocument(const std::shared_ptr<DocInfo>& info, std::optional<QString>* error = nullptr);
  std::optional<QString> unrecordedModified_;  // the row's `modified` while the row is missing
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finished_{false};
};
