#include "scanner/UploadFlow.h"

#include "common/Log.h"

#include <QFileInfo>
#include <QUrl>

#include <utility>

namespace zuvo::scanflow {

const RoadRules kQuickRoad{
    .networkCheck = RoadRules::NetworkCheck::AfterPdf,
    .offline = RoadRules::Offline::LoggedAlert,
    .startedLog = QStringLiteral("Upload started for scanned document %1 with token : %2"),
    .failureLog = RoadRules::FailureLog::FileURLAndReason,
    .statusAfterFailure = QStringLiteral("Cancel"),
    .successLog = RoadRules::SuccessLog::BeforeStatusWithFileURL,
    .statusFailureLog = QStringLiteral("Error while sending status"),
    .oneAtATime = false,
};

const RoadRules kBrowserRoad{
    .networkCheck = RoadRules::NetworkCheck::BeforePdf,
    .offline = RoadRules::Offline::Sheet,
    .startedLog = QStringLiteral("Upload started for document %1 with token %2"),
    .failureLog = RoadRules::FailureLog::Message,
    .statusAfterFailure = std::nullopt,
    .successLog = RoadRules::SuccessLog::AfterStatusWithPath,
    .statusFailureLog = QStringLiteral("Error occurred while sending status"),
    .oneAtATime = true,
};

namespace {
QString fileURL(const QString& path) { return QUrl::fromLocalFile(path).toString(); }
}  // namespace

// A callback that does nothing once the flow is gone.
template <typename F>
auto UploadFlow::guarded(F f) {
  return [alive = std::weak_ptr<char>(alive_), f = std::move(f)](auto&&... args) {
    if (alive.lock()) f(std::forward<decltype(args)>(args)...);
  };
}

UploadFlow::UploadFlow(const RoadRules& road, Services services) : road_(road), services_(std::move(services)) {}

UploadFlow::~UploadFlow() {
  if (stopPdf_) stopPdf_();
}

void UploadFlow::tell(const QString& message, const QString& informative, const QString& button, bool sheet) {
  // A program on its way out asks nobody.
  if (services_.quitting()) return;
  services_.alert(message, informative, button, sheet);
}

void UploadFlow::start() {
  if (busy()) {
    if (road_.oneAtATime) return;  // the running upload goes on alone
    // A PDF still being made is of pages that are no longer this scan's: it is dropped.
    if (phase_ == Phase::MakingPdf && stopPdf_) std::exchange(stopPdf_, {})();
  }
  const QStringList pages = services_.pages();
  if (pages.isEmpty()) {
    tell(QStringLiteral("No document(s) available to upload"), QString());
    return;
  }
  if (road_.networkCheck == RoadRules::NetworkCheck::BeforePdf && !services_.reachable()) {
    offline();
    return;
  }
  const int attempt = ++attempt_;
  phase_ = Phase::MakingPdf;
  if (services_.pdfStarted) services_.pdfStarted(int(pages.size()));
  stopPdf_ = services_.makePdf(
      pages,
      guarded([this, attempt](int done) {
        if (attempt == attempt_ && phase_ == Phase::MakingPdf && services_.pdfProgress) services_.pdfProgress(done);
      }),
      guarded([this, attempt](const scanupload::PdfResult& pdf) {
        // A dropped PDF (given up, or replaced by a later scan's) goes nowhere.
        if (attempt != attempt_ || phase_ != Phase::MakingPdf) return;
        stopPdf_ = {};
        pdfMade(pdf);
      }));
}

void UploadFlow::offline() {
  const QString text = QStringLiteral("The internet connection appears to be offline.");
  if (road_.offline == RoadRules::Offline::LoggedAlert) {
    info(text);
    tell(QString(), text, QStringLiteral("Ok"), false);
  } else {
    tell(text, QString());
  }
}

void UploadFlow::pdfMade(const scanupload::PdfResult& pdf) {
  using Outcome = scanupload::PdfResult::Outcome;
  switch (pdf.outcome) {
    case Outcome::Made: break;
    case Outcome::NoPages:
      end(attempt_);
      tell(QStringLiteral("No document(s) available to upload"), QString());
      return;
    case Outcome::UnreadablePage:
      // Fewer pages than the user saw must never be reported complete.
      error(loggableValue(pdf.error));
      end(attempt_);
      tell(QStringLiteral("The page \u201c%1\u201d cannot be read. Nothing was sent.").arg(QFileInfo(pdf.page).fileName()),
           pdf.error);
      return;
    case Outcome::WriteFailed:
    case Outcome::Stopped:
      // As a failed upload: nothing stale or empty is sent.
      failed(attempt_, pdf.path, pdf.error);
      return;
  }
  info(road_.startedLog.arg(pdf.path, loggableValue(services_.token())));
  if (road_.networkCheck == RoadRules::NetworkCheck::AfterPdf && !services_.reachable()) {
    end(attempt_);
    offline();
    return;
  }
  startUploadingFile(pdf.path);
}

void UploadFlow::startUploadingFile(const QString& path) {
  phase_ = Phase::Uploading;
  const int attempt = attempt_;
  call(services_.uploadStarted);
  services_.upload(
      path,
      guarded([this, attempt](double fraction) {
        if (attempt == attempt_ && services_.uploadProgress) services_.uploadProgress(fraction);
      }),
      guarded([this, attempt, path](bool ok, const QString& error) {
        if (attempt == attempt_) call(services_.uploadEnded);
        uploadDone(attempt, path, ok, error);
      }));
}

void UploadFlow::uploadDone(int attempt, const QString& path, bool ok, const QString& why) {
  if (!ok) {
    failed(attempt, path, why);
    return;
  }
  if (road_.successLog == RoadRules::SuccessLog::BeforeStatusWithFileURL)
    info(QStringLiteral("Uploading scan document %1 with token %2 was successful.")
             .arg(fileURL(path), loggableValue(services_.token())));
  if (attempt == attempt_) phase_ = Phase::Reporting;
  sendMessagetoServer(QStringLiteral("Completed"), guarded([this, attempt, path](bool ok) {
    end(attempt);
    if (!ok) {
      // The user would otherwise think it went through, or scan and send it again.
      tell(QString(), QStringLiteral("An error occurred while sending status"));
      return;
    }
    if (road_.successLog == RoadRules::SuccessLog::AfterStatusWithPath)
      info(QStringLiteral("Upload Completed for document %1 with token %2").arg(path, loggableValue(services_.token())));
    tell(QString(), QStringLiteral("File upload completed."));
    services_.closeWindow();
  }));
}

void UploadFlow::failed(int attempt, const QString& path, const QString& reason) {
  const QString message = QStringLiteral("An error occurred while uploading document : %1").arg(reason);
  if (road_.failureLog == RoadRules::FailureLog::FileURLAndReason)
    error(QStringLiteral("Error occurred while uploading scan document %1, Error : %2")
              .arg(fileURL(path), loggableValue(reason)));
  else
    error(QStringLiteral("An error occurred while uploading document : %1").arg(loggableValue(reason)));
  if (road_.statusAfterFailure) sendMessagetoServer(*road_.statusAfterFailure, [](bool) {});
  end(attempt);
  tell(message, QString());
}

void UploadFlow::sendMessagetoServer(const QString& status, std::function<void(bool ok)> done) {
  services_.sendStatus(status, road_.statusFailureLog, std::move(done));
}

void UploadFlow::end(int attempt) {
  // The end of an earlier attempt (the quick road's upload of an earlier scan) is not this one's.
  if (attempt != attempt_) return;
  phase_ = Phase::Idle;
  call(services_.ended);
}

void UploadFlow::cancel(std::function<void()> refused) {
  if (phase_ == Phase::MakingPdf) {
    // Given up: the PDF being made is of no use any more.
    if (stopPdf_) std::exchange(stopPdf_, {})();
    end(attempt_);
    ++attempt_;  // its end, if it still comes, is dropped
  }
  sendMessagetoServer(QStringLiteral("Cancel"), guarded([this, refused = std::move(refused)](bool ok) {
                        if (ok) services_.closeWindow();
                        else if (refused) refused();
                      }));
}

// ---- The scanner's own services

Services scannerServices() {
  Services s;
  s.reachable = [] { return scanupload::isNetworkReachable(); };
  s.makePdf = [](const QStringList& pages, std::function<void(int)> pageDone,
                 std::function<void(const scanupload::PdfResult&)> done) {
    return scanupload::makePdfInBackground(pages, std::move(pageDone), std::move(done));
  };
  s.upload = [](const QString& path, std::function<void(double)> progress,
                std::function<void(bool, const QString&)> done) {
    scanupload::sendDocumentUpload(path, std::move(progress), [done = std::move(done)](const http::Error& e) {
      done(e.code == http::Error::Code::None, e.description);
    });
  };
  s.sendStatus = [](const QString& status, const QString& failureLog, std::function<void(bool)> done) {
    scanupload::sendStatus(status, failureLog, [done = std::move(done)](const QString&, bool ok) {
      if (done) done(ok);
    });
  };
  s.quitting = [] { return scanupload::quitting(); };
  s.token = [] { return scanupload::token(); };
  s.log = [](bool isError, const QString& line) { isError ? logError(line) : logInfo(line); };
  return s;
}

}  // namespace zuvo::scanflow
