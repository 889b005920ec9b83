// The decisions of one upload of a scan, free of I/O: the pages checked, the PDF made (off the
// main thread, by the service), the network checked, the upload sent, the status reported, and
// what the user is told. Both windows run it: the scanner window in quick mode and the image
// browser; where they differ, their rules say so (RoadRules). Everything outside (pages, PDF,
// HTTP, reachability, alerts, the window, the log) comes through the services it is given, and
// completions come back through their callbacks. Main thread only.
#pragma once

#include "scanner/ScanUpload.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace zuvo::scanflow {

// What sets the two roads apart.
struct RoadRules {
  // The browser asks for the network before it makes the PDF, the quick road after.
  enum class NetworkCheck { BeforePdf, AfterPdf } networkCheck;
  // Offline: logged and told in an application-modal alert's informative text with "Ok" (quick
  // road), or told in a sheet's message with "Close" (browser), not logged.
  enum class Offline { LoggedAlert, Sheet } offline;
  // The line that opens the upload: %1 the PDF's path, %2 the token.
  QString startedLog;
  // A failed upload (or PDF) is logged with the PDF's file URL and the reason (quick road), or
  // as the message the user sees (browser).
  enum class FailureLog { FileURLAndReason, Message } failureLog;
  // Sent after a failed upload, when any.
  std::optional<QString> statusAfterFailure;
  // The success line: before the status goes out, with the PDF's file URL (quick road), or
  // once the server took the status, with the PDF's path (browser).
  enum class SuccessLog { BeforeStatusWithFileURL, AfterStatusWithPath } successLog;
  // The prefix of a failed status report's line.
  QString statusFailureLog;
  // A second start while one runs: ignored (browser), or it replaces a PDF still being made,
  // whose pages are no longer this scan's (quick road).
  bool oneAtATime;
};

// The scanner window after a scan in quick mode.
extern const RoadRules kQuickRoad;
// The image browser's Upload.
extern const RoadRules kBrowserRoad;

struct Services {
  std::function<QStringList()> pages;
  std::function<bool()> reachable;
  // Makes the PDF of the pages off the main thread; pageDone and done come on the main thread,
  // done once. Returns what stops it: done then comes with Outcome::Stopped, or not at all.
  std::function<std::function<void()>(const QStringList& pages, std::function<void(int pagesDone)> pageDone,
                                      std::function<void(const scanupload::PdfResult&)> done)>
      makePdf;
  // The DocumentUpload of the PDF; done gets whether it went through, and why not.
  std::function<void(const QString& pdfPath, std::function<void(double fraction)> progress,
                     std::function<void(bool ok, const QString& error)> done)>
      upload;
  // One StatusMessage; a failure is logged as "<failureLog> : <reason>" by the service.
  std::function<void(const QString& status, const QString& failureLog, std::function<void(bool ok)> done)>
      sendStatus;
  // One button; sheet: on the window, else application-modal. Returns once answered.
  std::function<void(const QString& message, const QString& informative, const QString& button, bool sheet)> alert;
  std::function<void()> closeWindow;
  // The program is on its way out: nobody is asked anything any more.
  std::function<bool()> quitting;
  std::function<QString()> token;
  std::function<void(bool error, const QString& line)> log;
  // What the window shows of it (each may be empty).
  std::function<void(int pages)> pdfStarted;
  std::function<void(int pagesDone)> pdfProgress;
  std::function<void()> uploadStarted;
  std::function<void(double fraction)> uploadProgress;
  std::function<void()> uploadEnded;
  std::function<void()> ended;  // the attempt is over, before the user is told how
};

class UploadFlow {
 public:
  UploadFlow(const RoadRules& road, Services services);
  ~UploadFlow();
  UploadFlow(const UploadFlow&) = delete;
  UploadFlow& operator=(const UploadFlow&) = delete;

  // Sends the pages as one PDF.
  void start();
  // The user gives the scan up: a PDF still being made is dropped, "Cancel" is reported, and
  // the window closes when the server took it; refused() runs otherwise.
  void cancel(std::function<void()> refused = {});
  // From start() until the attempt has ended (its status report included).
  bool busy() const { return phase_ != Phase::Idle; }

 private:
  enum class Phase { Idle, MakingPdf, Uploading, Reporting };

  void offline();
  void pdfMade(const scanupload::PdfResult& pdf);
  // The two requests: the PDF's DocumentUpload, and one StatusMessage.
  void startUploadingFile(const QString& path);
  void sendMessagetoServer(const QString& status, std::function<void(bool ok)> done);
  void uploadDone(int attempt, const QString& path, bool ok, const QString& error);
  void failed(int attempt, const QString& path, const QString& reason);
  // The attempt is over: idle again, when it is still the latest.
  void end(int attempt);
  void tell(const QString& message, const QString& informative, const QString& button = QStringLiteral("Close"),
            bool sheet = true);
  void info(const QString& line) { services_.log(false, line); }
  void error(const QString& line) { services_.log(true, line); }
  template <typename F>
  auto guarded(F f);
  static void call(const std::function<void()>& f) {
    if (f) f();
  }

  const RoadRules road_;
  Services services_;
  Phase phase_ = Phase::Idle;
  int attempt_ = 0;              // callbacks of an earlier attempt's PDF are dropped
  std::function<void()> stopPdf_;
  // Callbacks that outlive the flow do nothing.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// The scanner's own services: reachability, the PDF on a worker thread, the two requests, the
// quitting state, the token and the log. The window adds the pages, alerts and what it shows.
Services scannerServices();

}  // namespace zuvo::scanflow
