// The upload flow's decisions by tables: each case is a script of what happens around one
// upload of a scan (the PDF's end, the server's answers, the user's cancel, the program asked
// to quit) on one road, and the trace of what the flow asked for, logged and told. No files,
// threads or network: the services are a small fake world.
#include "scanner/UploadFlow.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <deque>

using namespace zuvo::scanflow;
using zuvo::scanupload::PdfResult;

namespace {

const QString kPdf = "/scan/View_1.pdf";

struct World {
  QStringList pages{"/scan/Scan 0.jpeg", "/scan/Scan 1.jpeg", "/scan/Scan 2.jpeg"};
  bool reachable = true;
  bool quitting = false;
  std::deque<std::function<void(const PdfResult&)>> pdfs;
  std::deque<std::function<void(bool, const QString&)>> uploads;
  std::deque<std::function<void(bool)>> reports;
  QStringList trace;

  Services services() {
    Services s;
    s.pages = [this] { return pages; };
    s.reachable = [this] { return reachable; };
    s.makePdf = [this](const QStringList& p, std::function<void(int)>, std::function<void(const PdfResult&)> done) {
      trace << QString("pdf %1").arg(p.size());
      pdfs.push_back(std::move(done));
      return std::function<void()>([this] { trace << "stop pdf"; });
    };
    s.upload = [this](const QString& path, std::function<void(double)>, std::function<void(bool, const QString&)> done) {
      trace << "upload " + path;
      uploads.push_back(std::move(done));
    };
    s.sendStatus = [this](const QString& status, const QString& failureLog, std::function<void(bool)> done) {
      trace << "status " + status + " (" + failureLog + ")";
      reports.push_back(std::move(done));
    };
    s.alert = [this](const QString& message, const QString& informative, const QString& button, bool sheet) {
      trace << QString("%1 \"%2\" \"%3\" %4").arg(sheet ? "sheet" : "alert", message, informative, button);
    };
    s.closeWindow = [this] { trace << "close window"; };
    s.quitting = [this] { return quitting; };
    s.token = [] { return QString("T1"); };
    s.log = [this](bool error, const QString& line) { trace << (error ? "E " : "I ") + line; };
    s.ended = [this] { trace << "idle"; };
    return s;
  }
};

template <typename T>
T take(std::deque<T>& queue) {
  EXPECT_FALSE(queue.empty());
  if (queue.empty()) return T([](auto...) {});
  T front = std::move(queue.front());
  queue.pop_front();
  return front;
}

PdfResult pdf(PdfResult::Outcome outcome, const QString& error = {}, const QString& page = {}) {
  PdfResult r;
  r.outcome = outcome;
  r.path = kPdf;
  r.error = error;
  r.page = page;
  return r;
}

// One step of a script:
//   "start" / "cancel"            the window's upload, the user's cancel
//   "made" / "unreadable" / "write fails" / "stopped"   the oldest PDF ends so
//   "upload ok" / "upload fails" / "redirected"         the oldest upload is answered
//   "status ok" / "status fails"  the oldest status report is answered
//   "offline" / "no pages"        the world before the start
//   "quit"                        the program is asked to quit
void run(World& w, UploadFlow& flow, const QString& step) {
  using O = PdfResult::Outcome;
  if (step == "start") flow.start();
  else if (step == "cancel") flow.cancel([&w] { w.trace << "refused"; });
  else if (step == "made") take(w.pdfs)(pdf(O::Made));
  else if (step == "unreadable")
    take(w.pdfs)(pdf(O::UnreadablePage, "Cannot read the page /scan/Scan 1.jpeg: bad", "/scan/Scan 1.jpeg"));
  else if (step == "write fails") take(w.pdfs)(pdf(O::WriteFailed, "No space left on device"));
  else if (step == "stopped") take(w.pdfs)(pdf(O::Stopped, "cancelled"));
  else if (step == "upload ok") take(w.uploads)(true, {});
  else if (step == "upload fails") take(w.uploads)(false, "Request failed: 500");
  else if (step == "redirected") take(w.uploads)(false, "Request failed: redirected (302) to http://h/login");
  else if (step == "status ok" || step == "status fails") take(w.reports)(step == "status ok");
  else if (step == "offline") w.reachable = false;
  else if (step == "no pages") w.pages.clear();
  else if (step == "quit") w.quitting = true;
  else ADD_FAILURE() << "unknown step " << step.toStdString();
}

const QString kQuickStarted = "I Upload started for scanned document /scan/View_1.pdf with token : T1";
const QString kBrowserStarted = "I Upload started for document /scan/View_1.pdf with token T1";
const QString kQuickStatus = "(Error while sending status)";
const QString kBrowserStatus = "(Error occurred while sending status)";

struct Case {
  const char* name;
  const RoadRules* road;
  QStringList script;
  QStringList trace;
};

const Case kCases[] = {
    {"no pages: said so, nothing made or sent", &kQuickRoad, {"no pages", "start"},
     {"sheet \"No document(s) available to upload\" \"\" Close"}},
    {"no pages in the browser", &kBrowserRoad, {"no pages", "start"},
     {"sheet \"No document(s) available to upload\" \"\" Close"}},
    {"a page that cannot be read: named, nothing sent", &kQuickRoad, {"start", "unreadable"},
     {"pdf 3", "E Cannot read the page /scan/Scan 1.jpeg: bad", "idle",
      "sheet \"The page \u201cScan 1.jpeg\u201d cannot be read. Nothing was sent.\" "
      "\"Cannot read the page /scan/Scan 1.jpeg: bad\" Close"}},
    {"quick road: a PDF that cannot be written is a failed upload, \"Cancel\" goes", &kQuickRoad,
     {"start", "write fails", "status ok"},
     {"pdf 3",
      "E Error occurred while uploading scan document file:///scan/View_1.pdf, Error : No space left on device",
      "status Cancel " + kQuickStatus, "idle",
      "sheet \"An error occurred while uploading document : No space left on device\" \"\" Close"}},
    {"browser: a PDF that cannot be written sends nothing", &kBrowserRoad, {"start", "write fails"},
     {"pdf 3", "E An error occurred while uploading document : No space left on device", "idle",
      "sheet \"An error occurred while uploading document : No space left on device\" \"\" Close"}},
    {"quick road offline: asked after the PDF, logged, an alert with Ok", &kQuickRoad, {"offline", "start", "made"},
     {"pdf 3", kQuickStarted, "idle", "I The internet connection appears to be offline.",
      "alert \"\" \"The internet connection appears to be offline.\" Ok"}},
    {"browser offline: asked before any PDF, a sheet with Close", &kBrowserRoad, {"offline", "start"},
     {"sheet \"The internet connection appears to be offline.\" \"\" Close"}},
    {"quick road: a failed upload reports \"Cancel\"", &kQuickRoad, {"start", "made", "upload fails", "status ok"},
     {"pdf 3", kQuickStarted, "upload /scan/View_1.pdf",
      "E Error occurred while uploading scan document file:///scan/View_1.pdf, Error : Request failed: 500",
      "status Cancel " + kQuickStatus, "idle",
      "sheet \"An error occurred while uploading document : Request failed: 500\" \"\" Close"}},
    {"browser: a failed upload reports nothing", &kBrowserRoad, {"start", "made", "upload fails"},
     {"pdf 3", kBrowserStarted, "upload /scan/View_1.pdf",
      "E An error occurred while uploading document : Request failed: 500", "idle",
      "sheet \"An error occurred while uploading document : Request failed: 500\" \"\" Close"}},
    {"a redirect is a failed upload with its target", &kQuickRoad, {"start", "made", "redirected", "status fails"},
     {"pdf 3", kQuickStarted, "upload /scan/View_1.pdf",
      "E Error occurred while uploading scan document file:///scan/View_1.pdf, Error : Request failed: redirected "
      "(302) to http://h/login",
      "status Cancel " + kQuickStatus, "idle",
      "sheet \"An error occurred while uploading document : Request failed: redirected (302) to http://h/login\" "
      "\"\" Close"}},
    {"quick road success: logged before \"Completed\", then the sheet and the window closes", &kQuickRoad,
     {"start", "made", "upload ok", "status ok"},
     {"pdf 3", kQuickStarted, "upload /scan/View_1.pdf",
      "I Uploading scan document file:///scan/View_1.pdf with token T1 was successful.",
      "status Completed " + kQuickStatus, "idle", "sheet \"\" \"File upload completed.\" Close", "close window"}},
    {"browser success: logged once the server took \"Completed\"", &kBrowserRoad,
     {"start", "made", "upload ok", "status ok"},
     {"pdf 3", kBrowserStarted, "upload /scan/View_1.pdf", "status Completed " + kBrowserStatus, "idle",
      "I Upload Completed for document /scan/View_1.pdf with token T1",
      "sheet \"\" \"File upload completed.\" Close", "close window"}},
    {"a refused \"Completed\" is told, the window stays", &kBrowserRoad,
     {"start", "made", "upload ok", "status fails"},
     {"pdf 3", kBrowserStarted, "upload /scan/View_1.pdf", "status Completed " + kBrowserStatus, "idle",
      "sheet \"\" \"An error occurred while sending status\" Close"}},
    {"quitting while the PDF is made: its failure road, \"Cancel\", nobody asked", &kQuickRoad,
     {"start", "quit", "stopped", "status ok"},
     {"pdf 3", "E Error occurred while uploading scan document file:///scan/View_1.pdf, Error : cancelled",
      "status Cancel " + kQuickStatus, "idle"}},
    {"browser quitting while the PDF is made: nothing sent, nobody asked", &kBrowserRoad, {"start", "quit", "stopped"},
     {"pdf 3", "E An error occurred while uploading document : cancelled", "idle"}},
    {"quitting during the upload: no sheet after it", &kQuickRoad, {"start", "made", "quit", "upload ok", "status ok"},
     {"pdf 3", kQuickStarted, "upload /scan/View_1.pdf",
      "I Uploading scan document file:///scan/View_1.pdf with token T1 was successful.",
      "status Completed " + kQuickStatus, "idle", "close window"}},
    {"cancel while the PDF is made: dropped, never sent; \"Cancel\" taken closes", &kBrowserRoad,
     {"start", "cancel", "made", "status ok"},
     {"pdf 3", "stop pdf", "idle", "status Cancel " + kBrowserStatus, "close window"}},
    {"cancel refused: the window stays", &kQuickRoad, {"cancel", "status fails"},
     {"status Cancel " + kQuickStatus, "refused"}},
    {"browser: a second upload while one runs is ignored", &kBrowserRoad,
     {"start", "start", "made", "start", "upload ok", "start", "status ok", "start"},
     {"pdf 3", kBrowserStarted, "upload /scan/View_1.pdf", "status Completed " + kBrowserStatus, "idle",
      "I Upload Completed for document /scan/View_1.pdf with token T1",
      "sheet \"\" \"File upload completed.\" Close", "close window", "pdf 3"}},
    {"quick road: a new scan's pages replace a PDF still being made", &kQuickRoad,
     {"start", "start", "made", "made"},
     {"pdf 3", "stop pdf", "pdf 3", kQuickStarted, "upload /scan/View_1.pdf"}},
    {"quick road: an earlier scan's failed upload leaves the later scan's PDF going", &kQuickRoad,
     {"start", "made", "start", "upload fails", "made"},
     {"pdf 3", kQuickStarted, "upload /scan/View_1.pdf", "pdf 3",
      "E Error occurred while uploading scan document file:///scan/View_1.pdf, Error : Request failed: 500",
      "status Cancel " + kQuickStatus,
      "sheet \"An error occurred while uploading document : Request failed: 500\" \"\" Close", kQuickStarted,
      "upload /scan/View_1.pdf"}},
};

TEST(ScanUploadFlow, DecisionsFollowTheScript) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    World w;
    UploadFlow flow(*c.road, w.services());
    for (const QString& step : c.script) run(w, flow, step);
    EXPECT_EQ(w.trace, c.trace) << w.trace.join("\n").toStdString();
  }
}

// The window's controller goes while its PDF is made: the PDF is stopped, and its end, when it
// still comes, touches nothing.
TEST(ScanUploadFlow, FlowGoneWhileThePdfIsMadeStopsItAndIgnoresItsEnd) {
  World w;
  auto flow = std::make_unique<UploadFlow>(kQuickRoad, w.services());
  flow->start();
  EXPECT_TRUE(flow->busy());
  flow.reset();
  take(w.pdfs)(pdf(PdfResult::Outcome::Made));
  EXPECT_EQ(w.trace, (QStringList{"pdf 3", "stop pdf"}));
  EXPECT_TRUE(w.uploads.empty());
}

// Busy covers the whole attempt, its status report included.
TEST(ScanUploadFlow, BusyFromStartUntilTheReportEnds) {
  World w;
  UploadFlow flow(kBrowserRoad, w.services());
  flow.start();
  run(w, flow, "made");
  run(w, flow, "upload ok");
  EXPECT_TRUE(flow.busy());
  run(w, flow, "status fails");
  EXPECT_FALSE(flow.busy());
}

}  // namespace
