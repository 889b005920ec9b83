// What follows a scan, with fake devices whose pages become real files and the fake document server:
// the quick road's PDF, upload and status, its failures, the cancel request, and the browser
// road.
#include "platform/core/TestHooks.h"

#include "scanner/GlobalData.h"
#include "scanner/ScanDocWindowController.h"
#include "scanner/ViewControllers/AppController.h"
#include "scanner/ImageBrowser/Controller/AAPLBrowserWindowController.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeScannerDevice.h"
#include "support/JsonLines.h"
#include "support/ScanUploadCheck.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QListWidget>
#include <QProgressBar>
#include <QWidget>
#include <gtest/gtest.h>

using namespace zuvo::test;
using namespace std::chrono_literals;
using zuvo::scan::DocumentFeeder;
using zuvo::scan::Flatbed;

namespace {

const QString kToken = QStringLiteral("T\u00f6k+en/1");  // sent as it is, UTF-8
const QByteArray kPath = "/scan/upload";

class ScanCompletionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog = makeTempDir(QStringLiteral("alerts")) + QStringLiteral("/alerts.jsonl");
    zuvo::testhooks::setAlertLogFile(alertLog);
    folder = QDir::cleanPath(GlobalData::sharedGlobalData().getScanDocumentPath());
  }
  void TearDown() override {
    window.reset();
    zuvo::testhooks::setAlertLogFile({});
    zuvo::testhooks::setHttpTimeout(std::nullopt);
    GlobalData& data = GlobalData::sharedGlobalData();
    data.token_scan_doc.reset();
    data.upload_url_scan_doc.reset();
    data.scan_flag.reset();
  }

  // One case of a table after another: a new window, server and alert log.
  void restart() {
    TearDown();
    server = std::make_unique<FakeDocumentServer>();
    SetUp();
  }

  // The server answers uploads and status reports in turn from these replies.
  void serve(const QList<FakeReply>& replies, const QString& flag = QStringLiteral("true")) {
    ASSERT_TRUE(server->route("POST /scan/upload", replies));
    ASSERT_TRUE(server->start());
    GlobalData& data = GlobalData::sharedGlobalData();
    data.token_scan_doc = kToken;
    data.upload_url_scan_doc = server->url(QStringLiteral("/scan/upload?id=7&a=b%20c"));
    data.scan_flag = flag;
  }

  // A ready scanner of this unit whose scans wait for releaseScan().
  FakeScannerDevice* ready(int unit, int feederPages = 3) {
    window = std::make_unique<ScanDocWindowController>([this] {
      auto b = std::make_unique<FakeScannerBrowser>();
      browser = b.get();
      return b;
    });
    window->showWindow();
    c = window->appController();
    FakeScannerScript script;
    script.holdScans = true;
    script.unitTypes = {unit};
    script.feederPages = feederPages;
    FakeScannerDevice* d = browser->addDevice(new FakeScannerDevice("test:0", script));
    auto* list = window->window()->findChild<QListWidget*>("mScannersTableView");
    EXPECT_TRUE(waitUntil([&] { return list->count() == 1; }));
    list->item(0)->setSelected(true);
    EXPECT_TRUE(waitUntil([&] { return d->hasOpenSession() && d->selectedFunctionalUnit().has_value(); }));
    return d;
  }

  QList<QJsonObject> alerts() const { return readJsonLines(alertLog); }
  bool waitForAlerts(int n) const {
    return waitUntil([&] { return alerts().size() >= n; }, 15s);
  }
  bool windowOpen() const { return window->window()->isVisible(); }
  QStringList pages(const QStringList& names) const {
    QStringList paths;
    for (const QString& n : names) paths << folder + "/" + n;
    return paths;
  }
  QList<QByteArray> bodies() const {
    QList<QByteArray> list;
    for (const JournaledRequest& r : server->requestsTo(kPath)) list << r.body;
    return list;
  }
  QByteArray status(const char* word) const { return QByteArray("Status=") + word + "&token=" + kToken.toUtf8(); }

  QString alertLog, folder;
  std::unique_ptr<FakeDocumentServer> server = std::make_unique<FakeDocumentServer>();
  std::unique_ptr<ScanDocWindowController> window;
  FakeScannerBrowser* browser = nullptr;
  AppController* c = nullptr;
};

}  // namespace

TEST_F(ScanCompletionTest, QuickRoadSendsEveryPageInNumericOrderThenCompleted) {
  serve({FakeReply{.status = 200, .delaySeconds = 1}, FakeReply{.status = 200}});
  FakeScannerDevice* d = ready(DocumentFeeder, 11);
  c->startScan();
  // What else lies in the folder is no page.
  ASSERT_TRUE(writeFile(folder + "/notes.txt", "not a page"));
  ASSERT_TRUE(writeFile(folder + "/.hidden.jpeg", "a hidden file"));
  ASSERT_TRUE(QDir().mkpath(folder + "/sub.jpeg"));
  d->releaseScan();
  // While the server takes its time, the bar shows the whole body sent.
  auto* bar = window->window()->findChild<QProgressBar*>("mProgressIndicator");
  ASSERT_TRUE(server->waitForRequests(1));
  EXPECT_TRUE(waitUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));
  EXPECT_TRUE(bar->isVisible());
  ASSERT_TRUE(server->waitForRequests(2, 15s));
  ASSERT_TRUE(waitForAlerts(1));

  QStringList names{"Scan 0.jpeg"};
  for (int i = 1; i <= 10; ++i) names << QStringLiteral("Scan %1.jpeg").arg(i);
  EXPECT_EQ(checkUploadOfPages(*server, kPath, kToken, pages(names)), "");
  EXPECT_EQ(server->requestsTo(kPath)[0].query, "id=7&a=b%20c");
  EXPECT_FALSE(QFileInfo::exists(folder + "/Scan.jpeg"));
  // The page size follows the resolution the scan was made at: 85 x 117 pixels.
  const double dpi = d->lastScanSettings->resolution;
  const PdfFacts facts = pdfFacts(*scanUploadContent(server->requestsTo(kPath)[0].body, kToken));
  ASSERT_EQ(facts.sizes.size(), 11);
  const QStringList size = facts.sizes[0].split(" x ");
  EXPECT_NEAR(size[0].toDouble(), 85 * 72 / dpi, 0.01);
  EXPECT_NEAR(size[1].toDouble(), 117 * 72 / dpi, 0.01);

  const QList<QJsonObject> shown = alerts();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0]["message"].toString(), "");
  EXPECT_EQ(shown[0]["informative"].toString(), "File upload completed.");
  EXPECT_EQ(shown[0]["buttons"].toArray(), QJsonArray{"Close"});
  EXPECT_FALSE(windowOpen());
}

// The window stays usable while its pages are sent; a new scan would empty the folder they
// are read from, so Scan starts nothing until the attempt has ended.
TEST_F(ScanCompletionTest, ScanStartsNothingWhileTheLastScansPagesAreSent) {
  serve({FakeReply{.status = 200, .delaySeconds = 2}, FakeReply{.status = 200}});
  FakeScannerDevice* d = ready(DocumentFeeder, 3);
  c->startScan();
  d->releaseScan();
  ASSERT_TRUE(server->waitForRequests(1));
  // The completed scan closed the session; the user opens it again and presses Scan.
  c->openSession();
  ASSERT_TRUE(waitUntil([&] { return d->hasOpenSession(); }));
  c->startScan();
  EXPECT_EQ(d->scanRequests, 1);
  ASSERT_TRUE(server->waitForRequests(2, 15s));
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_EQ(checkUploadOfPages(*server, kPath, kToken, pages({"Scan 0.jpeg", "Scan 1.jpeg", "Scan 2.jpeg"})), "");
  EXPECT_EQ(bodies().value(1), status("Completed"));
  EXPECT_EQ(alerts()[0]["informative"].toString(), "File upload completed.");
}

TEST_F(ScanCompletionTest, FailuresKeepTheWindowWithASheet) {
  const struct {
    const char* name;
    QList<FakeReply> replies;
    QString url;  // instead of the server's
    QList<QByteArray> statuses;
    QString message, informative;
  } cases[] = {
      {"upload refused", {FakeReply{.status = 500}, FakeReply{.status = 200}}, {}, {"Cancel"},
       "An error occurred while uploading document : ", ""},
      {"status refused", {FakeReply{.status = 200}, FakeReply{.status = 500}}, {}, {"Completed"}, "",
       "An error occurred while sending status"},
      {"server hangs", {FakeReply{.delaySeconds = 5}, FakeReply{.status = 200}}, {}, {"Cancel"},
       "An error occurred while uploading document : The request timed out.", ""},
      {"not an http URL", {FakeReply{.status = 200}}, "ftp://127.0.0.1/scan/upload", {},
       "An error occurred while uploading document : unsupported URL", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    restart();
    serve(k.replies);
    if (!k.url.isEmpty()) GlobalData::sharedGlobalData().upload_url_scan_doc = k.url;
    zuvo::testhooks::setHttpTimeout(500ms);
    FakeScannerDevice* d = ready(Flatbed);
    c->startScan();
    d->releaseScan();
    ASSERT_TRUE(waitForAlerts(1));
    spin(300ms);  // a status report after the sheet would show here
    const QList<QByteArray> sent = bodies();
    const int uploads = k.url.isEmpty() ? 1 : 0;
    ASSERT_EQ(sent.size(), uploads + k.statuses.size());
    for (qsizetype i = 0; i < k.statuses.size(); ++i) EXPECT_EQ(sent[uploads + i], status(k.statuses[i].constData()));
    const QList<QJsonObject> shown = alerts();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0]["message"].toString().startsWith(k.message)) << shown[0]["message"].toString().toStdString();
    EXPECT_EQ(shown[0]["informative"].toString(), k.informative);
    EXPECT_EQ(shown[0]["buttons"].toArray(), QJsonArray{"Close"});
    EXPECT_TRUE(windowOpen());
  }
}

TEST_F(ScanCompletionTest, NothingIsSentWhenThePagesCannotAllGo) {
  const struct {
    const char* name;
    std::function<void(const QString& folder)> spoil;
    QString message;
    QList<QByteArray> statuses;
  } cases[] = {
      {"a page that cannot be read",
       [](const QString& f) { writeFile(f + "/Scan 5.jpeg", "not a picture"); },
       "The page \u201cScan 5.jpeg\u201d cannot be read. Nothing was sent.", {}},
      {"no pages at all", nullptr, "No document(s) available to upload", {}},
      // A failed PDF write is a failed upload: the server hears "Cancel", never a stale PDF.
      {"the PDF cannot be written",
       [](const QString& f) {
         QDir().mkpath(f + "/View_1.pdf/in the way");
       },
       "An error occurred while uploading document : ", {"Cancel"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    restart();
    serve({FakeReply{.status = 200}});
    FakeScannerDevice* d = ready(DocumentFeeder, 2);
    c->startScan();
    if (k.spoil) {
      k.spoil(folder);
      d->releaseScan();
    } else {
      c->readyToScan = true;  // as after a page whose file has gone since
      d->finishScan({});
    }
    ASSERT_TRUE(waitForAlerts(1));
    spin(300ms);
    const QList<QByteArray> sent = bodies();
    ASSERT_EQ(sent.size(), k.statuses.size());
    for (qsizetype i = 0; i < k.statuses.size(); ++i) EXPECT_EQ(sent[i], status(k.statuses[i].constData()));
    EXPECT_TRUE(alerts()[0]["message"].toString().startsWith(k.message)) << alerts()[0]["message"].toString().toStdString();
    EXPECT_FALSE(QFileInfo(folder + "/View_1.pdf").isFile());
    EXPECT_TRUE(windowOpen());
  }
}

TEST_F(ScanCompletionTest, ScanningAgainStartsFromAnEmptyFolder) {
  serve({FakeReply{.status = 500}, FakeReply{.status = 200}, FakeReply{.status = 200}});
  FakeScannerDevice* d = ready(DocumentFeeder, 3);
  c->startScan();
  d->releaseScan();
  ASSERT_TRUE(waitForAlerts(1));
  ASSERT_TRUE(server->waitForRequests(2));

  // The user scans two pages again in the same window.
  d->script.feederPages = 2;
  c->openSession();
  ASSERT_TRUE(waitUntil([&] { return d->hasOpenSession() && d->selectedFunctionalUnit().has_value(); }));
  c->startScan();
  d->releaseScan();
  ASSERT_TRUE(server->waitForRequests(4, 15s));
  ASSERT_TRUE(waitForAlerts(2));
  const QList<QByteArray> sent = bodies();
  const PdfFacts facts = pdfFacts(*scanUploadContent(sent[2], kToken));
  EXPECT_EQ(facts.pages, 2);
  EXPECT_EQ(pdfJpegs(*scanUploadContent(sent[2], kToken)),
            (QList<QByteArray>{readFile(folder + "/Scan 0.jpeg"), readFile(folder + "/Scan 1.jpeg")}));
  EXPECT_EQ(sent[3], status("Completed"));
  EXPECT_EQ(QDir(folder).entryList(QDir::Files), (QStringList{"Scan 0.jpeg", "Scan 1.jpeg", "View_1.pdf"}));
}

TEST_F(ScanCompletionTest, OfflineSendsNothingAndKeepsTheWindow) {
  serve({FakeReply{.status = 200}});
  FakeScannerDevice* d = ready(Flatbed);
  c->startScan();
  const bool isolated = withoutNetwork([&] {
    d->releaseScan();
    ASSERT_TRUE(waitForAlerts(1));
  });
  if (!isolated) GTEST_SKIP() << "no network namespaces here";
  spin(300ms);
  EXPECT_TRUE(server->requests().isEmpty());
  const QList<QJsonObject> shown = alerts();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0]["message"].toString(), "");
  EXPECT_EQ(shown[0]["informative"].toString(), "The internet connection appears to be offline.");
  EXPECT_EQ(shown[0]["buttons"].toArray(), QJsonArray{"Ok"});
  EXPECT_TRUE(windowOpen());
}

TEST_F(ScanCompletionTest, CancelRequestClosesTheWindowOnlyWhenTheServerTookIt) {
  for (const int reply : {200, 500}) {
    SCOPED_TRACE(reply);
    restart();
    serve({FakeReply{.status = reply}});
    FakeScannerDevice* d = ready(Flatbed);
    c->closeScannerWindow();
    ASSERT_TRUE(server->waitForRequests(1));
    spin(300ms);
    EXPECT_EQ(bodies(), QList<QByteArray>{status("Cancel")});
    EXPECT_EQ(windowOpen(), reply != 200);
    EXPECT_FALSE(d->hasOpenSession());
    EXPECT_TRUE(alerts().isEmpty());
  }
}

TEST_F(ScanCompletionTest, BrowserRoadOpensThePagesAndClosesTheScannerWindow) {
  serve({FakeReply{.status = 200}}, QStringLiteral("True"));
  FakeScannerDevice* d = ready(DocumentFeeder, 2);
  c->startScan();
  d->releaseScan();
  ASSERT_TRUE(waitUntil([&] { return !c->browserWindowControllers.empty(); }));
  const std::shared_ptr<AAPLBrowserWindowController> browserWindow = *c->browserWindowControllers.begin();
  ASSERT_TRUE(waitUntil([&] { return browserWindow->imageCollection()->imageFiles().size() == 2; }));
  EXPECT_TRUE(browserWindow->window()->isVisible());
  EXPECT_EQ(browserWindow->window()->windowTitle(), "Documents");
  EXPECT_FALSE(windowOpen());
  spin(300ms);
  EXPECT_TRUE(server->requests().isEmpty());
  EXPECT_TRUE(alerts().isEmpty());
}
