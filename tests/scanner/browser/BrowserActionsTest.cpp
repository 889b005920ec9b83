// The browser's delete, upload and cancel on the scan folder, shown offscreen, against the fake
// document server, with the PDF read back by poppler.
#include "../images/ImageFixtures.h"
#include "platform/core/TestHooks.h"
#include "scanner/GlobalData.h"
#include "scanner/ImageBrowser/Controller/AAPLBrowserWindowController.h"
#include "support/FakeDocumentServer.h"
#include "support/JsonLines.h"
#include "support/ScanUploadCheck.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace zuvo::test;

namespace {

const QString kToken = QStringLiteral("B-77");
const QByteArray kPath = "/upload";

class BrowserActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog = makeTempDir(QStringLiteral("alerts")) + QStringLiteral("/alerts.jsonl");
    zuvo::testhooks::setAlertLogFile(alertLog);
    folder = QDir::cleanPath(GlobalData::sharedGlobalData().getScanDocumentPath());
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(folder));
  }
  void TearDown() override {
    controller.reset();
    zuvo::testhooks::setAlertLogFile({});
    zuvo::testhooks::setAlertAnswer({});
    GlobalData::sharedGlobalData().token_scan_doc.reset();
    GlobalData::sharedGlobalData().upload_url_scan_doc.reset();
  }
  void restart() {
    TearDown();
    server = std::make_unique<FakeDocumentServer>();
    SetUp();
  }

  // The window on the scan folder with these pages, once it lists them all.
  void open(const QStringList& names, const QList<FakeReply>& replies = {FakeReply{.status = 200}}) {
    for (const QString& name : names) ASSERT_TRUE(writeTestImage(folder + "/" + name, QSize(120, 170)));
    ASSERT_TRUE(server->route("POST /upload", replies));
    ASSERT_TRUE(server->start());
    GlobalData::sharedGlobalData().token_scan_doc = kToken;
    GlobalData::sharedGlobalData().upload_url_scan_doc = server->url(QStringLiteral("/upload"));
    controller = std::make_unique<AAPLBrowserWindowController>(QUrl::fromLocalFile(folder));
    controller->showWindow();
    ASSERT_TRUE(listed(int(names.size())));
  }
  bool listed(int n) const {
    return waitUntil([&] {
      return controller->imageCollectionView()->numberOfItemsInSection(0) == n &&
             !controller->imageCollectionView()->isAnimating();
    }, 15s);
  }
  QList<QJsonObject> alerts() const { return readJsonLines(alertLog); }
  bool waitForAlerts(int n) const {
    return waitUntil([&] { return alerts().size() >= n; }, 15s);
  }
  QStringList files() const { return QDir(folder).entryList(QDir::Files, QDir::Name); }
  QList<QByteArray> bodies() const {
    QList<QByteArray> list;
    for (const JournaledRequest& r : server->requestsTo(kPath)) list << r.body;
    return list;
  }

  QString alertLog, folder;
  std::unique_ptr<FakeDocumentServer> server = std::make_unique<FakeDocumentServer>();
  std::unique_ptr<AAPLBrowserWindowController> controller;
};

const QStringList kThree{"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg"};

}  // namespace

TEST_F(BrowserActionsTest, DeleteAsksAndRemovesOnlyOnAnExplicitDelete) {
  const struct {
    const char* name;
    QSet<IndexPath> selection;
    QString answer;
    QString message, informative;
    QStringList left;
  } cases[] = {
      {"cancelled", {{0, 1}}, "Cancel", "Delete document?",
       "This document will be deleted. This action cannot be undone.", kThree},
      {"no answer named", {{0, 0}, {0, 1}}, {}, "Delete 2 documents?",
       "These documents will be deleted. This action cannot be undone.", kThree},
      {"three confirmed", {{0, 0}, {0, 1}, {0, 2}}, "Delete", "Delete 3 documents?",
       "These documents will be deleted. This action cannot be undone.", {}},
      {"one of three", {{0, 2}}, "Delete", "Delete document?",
       "This document will be deleted. This action cannot be undone.", {"Scan 0.jpeg", "Scan 2.jpeg"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    restart();
    open(kThree);
    zuvo::testhooks::setAlertAnswer(k.answer);
    controller->imageCollectionView()->setSelectionIndexPaths(k.selection);
    controller->delete_item();
    const QList<QJsonObject> shown = alerts();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0]["message"].toString(), k.message);
    EXPECT_EQ(shown[0]["informative"].toString(), k.informative);
    EXPECT_EQ(shown[0]["buttons"].toArray(), (QJsonArray{"Delete", "Cancel"}));
    EXPECT_EQ(shown[0]["style"].toString(), "warning");
    QStringList left = k.left;
    std::sort(left.begin(), left.end());
    EXPECT_EQ(files(), left);
    // The view follows the folder.
    EXPECT_TRUE(listed(int(k.left.size())));
    EXPECT_TRUE(server->requests().isEmpty());
  }
}

TEST_F(BrowserActionsTest, DeleteWithoutSelectionOnlySaysSo) {
  open(kThree);
  controller->delete_item();
  const QList<QJsonObject> shown = alerts();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0]["message"].toString(), "No document(s) selected.");
  EXPECT_EQ(shown[0]["buttons"].toArray(), QJsonArray{"Close"});
  EXPECT_EQ(files().size(), 3);
}

TEST_F(BrowserActionsTest, UploadSendsThePagesInTheBrowsersOrderThenCompletedAndCloses) {
  open(kThree, {FakeReply{.status = 200, .delaySeconds = 1}, FakeReply{.status = 200}});
  // A page that arrives while the browser is open is a page too.
  ASSERT_TRUE(writeTestImage(folder + "/Scan 11.jpeg", QSize(120, 170)));
  ASSERT_TRUE(listed(4));
  controller->upload();
  EXPECT_FALSE(controller->button("Upload")->isEnabled());
  controller->upload();  // ignored while the first runs
  // While the server takes its time, the bar shows the whole body sent.
  QProgressBar* bar = controller->progressIndicator();
  ASSERT_TRUE(server->waitForRequests(1));
  EXPECT_TRUE(waitUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));
  EXPECT_TRUE(bar->isVisible());
  EXPECT_TRUE(controller->uploadingStatus()->isVisible());
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_FALSE(bar->isVisible());
  spin(300ms);
  QStringList pages;
  for (const char* name : {"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg", "Scan 11.jpeg"}) pages << folder + "/" + name;
  EXPECT_EQ(checkUploadOfPages(*server, kPath, kToken, pages), "");
  const QList<QJsonObject> shown = alerts();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0]["message"].toString(), "");
  EXPECT_EQ(shown[0]["informative"].toString(), "File upload completed.");
  EXPECT_FALSE(controller->window()->isVisible());
}

TEST_F(BrowserActionsTest, PageGoneJustBeforeTheUploadIsSkipped) {
  open(kThree);
  ASSERT_TRUE(QFile::remove(folder + "/Scan 2.jpeg"));  // the view has not heard of it yet
  controller->upload();
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_EQ(checkUploadOfPages(*server, kPath, kToken, {folder + "/Scan 0.jpeg", folder + "/Scan 10.jpeg"}), "");
  EXPECT_EQ(alerts()[0]["informative"].toString(), "File upload completed.");
}

TEST_F(BrowserActionsTest, UploadProblemsKeepTheWindowOpen) {
  const struct {
    const char* name;
    QStringList pages;
    QList<FakeReply> replies;
    QList<QByteArray> statuses;  // after the upload, when one was sent
    bool uploaded;
    QString message, informative;
  } cases[] = {
      // A failed upload sends no status.
      {"upload refused", kThree, {FakeReply{.status = 500}}, {}, true, "An error occurred while uploading document : ", ""},
      {"status refused", kThree, {FakeReply{.status = 200}, FakeReply{.status = 500}}, {"Completed"}, true, "",
       "An error occurred while sending status"},
      {"empty folder", {}, {FakeReply{.status = 200}}, {}, false, "No document(s) available to upload", ""},
      {"a page that cannot be read", {"Scan 0.jpeg", "Scan 1.jpeg"}, {FakeReply{.status = 200}}, {}, false,
       "The page \u201cScan 1.jpeg\u201d cannot be read. Nothing was sent.", "Cannot read the page "},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    restart();
    open(k.pages, k.replies);
    if (k.pages.size() == 2) {
      ASSERT_TRUE(writeFile(folder + "/Scan 1.jpeg", "not a picture"));
    }
    controller->upload();
    ASSERT_TRUE(waitForAlerts(1));
    spin(300ms);
    const QList<QByteArray> sent = bodies();
    ASSERT_EQ(sent.size(), (k.uploaded ? 1 : 0) + k.statuses.size());
    for (qsizetype i = 0; i < k.statuses.size(); ++i)
      EXPECT_EQ(sent[1 + i], "Status=" + k.statuses[i] + "&token=" + kToken.toUtf8());
    const QList<QJsonObject> shown = alerts();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0]["message"].toString().startsWith(k.message)) << shown[0]["message"].toString().toStdString();
    EXPECT_TRUE(shown[0]["informative"].toString().startsWith(k.informative));
    EXPECT_EQ(shown[0]["buttons"].toArray(), QJsonArray{"Close"});
    EXPECT_TRUE(controller->window()->isVisible());
    EXPECT_TRUE(controller->button("Upload")->isEnabled());
    EXPECT_FALSE(controller->isUploading());
    if (!k.uploaded) {
      EXPECT_FALSE(QFileInfo::exists(folder + "/View_1.pdf"));
    }
  }
}

TEST_F(BrowserActionsTest, UploadOfflineSendsNothing) {
  open(kThree);
  if (!withoutNetwork([&] { controller->upload(); })) GTEST_SKIP() << "no network namespaces here";
  spin(300ms);
  EXPECT_TRUE(server->requests().isEmpty());
  const QList<QJsonObject> shown = alerts();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0]["message"].toString(), "The internet connection appears to be offline.");
  EXPECT_EQ(shown[0]["buttons"].toArray(), QJsonArray{"Close"});
  EXPECT_TRUE(controller->button("Upload")->isEnabled());
}

TEST_F(BrowserActionsTest, CancelClosesOnlyWhenTheServerTookIt) {
  for (const int reply : {200, 500}) {
    SCOPED_TRACE(reply);
    restart();
    open(kThree, {FakeReply{.status = reply}});
    controller->button("Cancel")->click();
    ASSERT_TRUE(server->waitForRequests(1));
    spin(300ms);
    EXPECT_EQ(bodies(), QList<QByteArray>{"Status=Cancel&token=" + kToken.toUtf8()});
    EXPECT_EQ(controller->window()->isVisible(), reply != 200);
    EXPECT_TRUE(alerts().isEmpty());
    EXPECT_EQ(files().size(), 3);
  }
}
