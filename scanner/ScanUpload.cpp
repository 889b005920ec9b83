#include "scanner/ScanUpload.h"

#include "Deployment.h"
#include "common/DocumentUpload.h"
#include "common/Log.h"
#include "common/Reachability.h"
#include "scanner/GlobalData.h"
#include "scanner/ImageBrowser/Model/ImageListing.h"
#include "scanner/PdfAssembler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <memory>
#include <set>

namespace zuvo::scanupload {
namespace {

// Taken as the text was given: nothing added, the query kept.
QUrl uploadURL() { return QUrl(GlobalData::sharedGlobalData().upload_url_scan_doc.value_or(QString())); }

void later(std::function<void()> f) {
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(f), Qt::QueuedConnection);
}

// A PDF being made on a worker thread.
struct PdfJob {
  std::atomic<bool> stop{false};
};

// The requests still running, and what waits for their end when the program quits.
struct Running {
  int requests = 0;
  std::set<std::shared_ptr<http::SessionManager>> uploads;
  std::set<std::shared_ptr<PdfJob>> pdfJobs;
  bool quitting = false;
  std::function<void()> then;
};
Running& running() {
  static Running r;
  return r;
}

void runThenOnce() {
  if (auto then = std::exchange(running().then, nullptr)) then();
}

void requestEnded() {
  Running& r = running();
  if (--r.requests == 0 && r.quitting) runThenOnce();
}

}  // namespace

QString token() { return GlobalData::sharedGlobalData().token_scan_doc.value_or(QString()); }

QString pdfPathInFolder(const QString& folder) {
  return QStringLiteral("%1/View_1.pdf").arg(QDir::cleanPath(folder));
}

QStringList pagesInFolder(const QString& folder) {
  const QString dir = QDir::cleanPath(folder);
  QStringList pages;
  for (const ListedFile& f : listFolder(dir)) {
    if (f.regular && f.image && !f.name.startsWith(QLatin1Char('.'))) pages << dir + QLatin1Char('/') + f.name;
    else logInfo(QStringLiteral("Not a page of the scan, skipped: %1").arg(f.name));
  }
  return pages;
}

PdfResult makePdf(const QStringList& pages, const QString& folder,
                  const std::function<bool(int pagesDone)>& pageDone) {
  PdfResult r;
  r.path = pdfPathInFolder(folder);
  QStringList present;
  for (const QString& page : pages) {
    if (QFileInfo::exists(page)) present << page;
    else logInfo(QStringLiteral("The page %1 is gone, skipped").arg(page));
  }
  QString error, unreadable;
  bool stopped = false;
  const auto goOn = [&](int done) {
    stopped = pageDone && !pageDone(done);
    return !stopped;
  };
  if (pdf::assemblePdf(present, r.path, &error, &unreadable, goOn)) {
    r.pageCount = int(present.size());
    return r;
  }
  r.error = error;
  if (stopped) r.outcome = PdfResult::Outcome::Stopped;
  else if (present.isEmpty()) r.outcome = PdfResult::Outcome::NoPages;
  else if (!unreadable.isEmpty()) {
    r.outcome = PdfResult::Outcome::UnreadablePage;
    r.page = unreadable;
  } else {
    r.outcome = PdfResult::Outcome::WriteFailed;
  }
  return r;
}

namespace {

// Workers of their own, so that the program's end waits for these and nothing else.
QThreadPool& pdfWorkers() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    // Ending: every PDF still being made stops at its next page, and its worker is waited for
    // while the application object still takes the result it hands back.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, [p] {
      for (const auto& job : running().pdfJobs) job->stop = true;
      p->waitForDone();
    });
    return p;
  }();
  return *pool;
}

}  // namespace

std::function<void()> makePdfInBackground(const QStringList& pages, std::function<void(int pagesDone)> pageDone,
                                          std::function<void(const PdfResult&)> done) {
  auto job = std::make_shared<PdfJob>();
  Running& r = running();
  ++r.requests;
  r.pdfJobs.insert(job);
  if (r.quitting) job->stop = true;
  const QString folder = GlobalData::sharedGlobalData().getScanDocumentPath();
  pdfWorkers().start([job, pages, folder, pageDone, done] {
    PdfResult result;
    if (job->stop) {
      result.outcome = PdfResult::Outcome::Stopped;
      result.path = pdfPathInFolder(folder);
      result.error = QStringLiteral("cancelled");
    } else {
      result = makePdf(pages, folder, [job, pageDone](int n) {
        if (pageDone) later([job, pageDone, n] { if (!job->stop) pageDone(n); });
        return !job->stop;
      });
    }
    later([job, result, done] {
      running().pdfJobs.erase(job);
      if (done) done(result);
      requestEnded();
    });
  });
  return [job] { job->stop = true; };
}

bool isNetworkReachable() {
  return reachability::isHostReachable(QString::fromUtf8(deployment::kReachabilityHost));
}

void sendDocumentUpload(const QString& pdfPath, std::function<void(double)> progress,
                        std::function<void(const http::Error&)> done) {
  const QString tokenText = token();
  QString why;
  const std::optional<QByteArray> body =
      upload::multipartBodyFromFile(QStringLiteral("View_%1").arg(tokenText), pdfPath, tokenText.toUtf8(), &why);
  ++running().requests;
  if (!body) {
    // Never an empty stand-in for the PDF: this is a failed upload.
    later([done, why] {
      done(http::Error{http::Error::Code::File, why});
      requestEnded();
    });
    return;
  }
  auto manager = http::SessionManager::manager();
  running().uploads.insert(manager);
  if (running().quitting) manager->cancelTasks();
  manager->dataTask(
      "POST", uploadURL(), *body, upload::multipartContentType(),
      [progress](qint64 sent, qint64 total) {
        if (progress && total > 0) progress(double(sent) / double(total));
      },
      [done, manager](const http::Result& r) {
        later([done, manager, e = r.error] {
          running().uploads.erase(manager);
          done(e);
          requestEnded();
        });
      });
}

void sendStatus(const QString& status, const QString& failureLog,
                std::function<void(const QString& error, bool success)> done) {
  ++running().requests;
  http::SessionManager::manager()->dataTask(
      "POST", uploadURL(), upload::statusBody(status, token()), std::nullopt, {},
      [failureLog, done](const http::Result& r) {
        later([failureLog, done, e = r.error] {
          const bool ok = e.code == http::Error::Code::None;
          if (!ok) logError(QStringLiteral("%1 : %2").arg(failureLog, loggableValue(e.description)));
          if (done) done(ok ? QString() : e.description, ok);
          requestEnded();
        });
      });
}

void finishRequestsThen(std::function<void()> then, std::chrono::milliseconds bound) {
  Running& r = running();
  r.quitting = true;
  r.then = std::move(then);
  // A status report that hangs must not keep the program from ending.
  QTimer::singleShot(bound, QCoreApplication::instance(), [] { runThenOnce(); });
  // Each cancelled upload's failure road runs queued; a report it starts is counted before
  // the upload's own end is.
  const auto uploads = r.uploads;
  for (const auto& m : uploads) m->cancelTasks();
  // A PDF being made ends through its own road as well, after the page it is on.
  for (const auto& job : r.pdfJobs) job->stop = true;
  if (r.requests == 0) later([] { if (running().requests == 0) runThenOnce(); });
}

bool quitting() { return running().quitting; }

}  // namespace zuvo::scanupload
