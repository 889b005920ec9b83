// What both of the scanner's upload roads share: the pages of the scan folder, the one PDF of
// them, and the two requests to the document server (the scan's upload and its status report).
#pragma once

#include "platform/net/HttpClient.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>

namespace zuvo::scanupload {

// The token of the request, as given (empty when none).
QString token();

// The PDF every upload writes anew: "<folder>/View_1.pdf".
QString pdfPathInFolder(const QString& folder);

// The pages of a scan folder: its regular image files, as the image collection lists them (in
// numeric name order, "Scan 2" before "Scan 10"). The PDF, hidden names, folders and other
// files are no pages; each one skipped is logged.
QStringList pagesInFolder(const QString& folder);

struct PdfResult {
  enum class Outcome { Made, NoPages, UnreadablePage, WriteFailed, Stopped };
  Outcome outcome = Outcome::Made;
  QString path;        // the PDF
  QString page;        // UnreadablePage: the page's path
  QString error;       // UnreadablePage, WriteFailed, Stopped: the reason
  int pageCount = 0;   // Made
};

// The PDF of the pages, in this order, at pdfPathInFolder(folder). A page that has gone since
// it was listed is skipped and logged; whatever else fails leaves no PDF behind. pageDone hears
// each page written; answering false stops the work (Stopped, "cancelled").
PdfResult makePdf(const QStringList& pages, const QString& folder,
                  const std::function<bool(int pagesDone)>& pageDone = {});

// makePdf of the pages in the scan folder on a worker thread; pageDone and done run on the main
// thread, done once. It counts as a running request: asked to quit, the program stops it and
// waits for its end (done with Stopped, "cancelled"). The function returned stops it too; done
// still comes then, with Stopped unless the PDF was already made.
std::function<void()> makePdfInBackground(const QStringList& pages, std::function<void(int pagesDone)> pageDone,
                                          std::function<void(const PdfResult&)> done);

// The network check before an upload (the fixed host of the reachability probe).
bool isNetworkReachable();

// The scanner's DocumentUpload of the file to the upload URL: the part "View_<token>", the
// file's bytes read whole now, the token's bytes after the closing delimiter. progress gets
// the fraction sent (0 to 1); done gets the error, Code::None on success. Both run on the main
// thread, done exactly once and never before this returns.
void sendDocumentUpload(const QString& pdfPath, std::function<void(double)> progress,
                        std::function<void(const http::Error&)> done);

// The scanner's StatusMessage "Status=<status>&token=<token>" to the upload URL. A failure is
// logged as "<failureLog> : <reason>"; done gets (reason, false) or (empty, true), on the main
// thread and never before this returns.
void sendStatus(const QString& status, const QString& failureLog,
                std::function<void(const QString& error, bool success)> done);

// The program is asked to quit: an upload still being sent is cancelled and ends through its
// own failure road (done gets "cancelled"); then() runs once no upload or status report is
// running any more (the failure road's own report included), or when `bound` has passed.
void finishRequestsThen(std::function<void()> then, std::chrono::milliseconds bound);
// From then on: failure roads log and report, but show nothing that waits for the user.
bool quitting();

}  // namespace zuvo::scanupload
