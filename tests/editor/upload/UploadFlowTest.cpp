// The controller's change handler, uploads, status reports and closing steps, driven in this
// process against the fake document server, with real files, database and archives.
#include "editor/ViewControllers/DocumentEditController.h"
#include "platform/core/TestHooks.h"

#include "common/AAPLFileTreeWatcherThread.h"
#include "editor/BackupArchive.h"
#include "editor/GlobalData.h"
#include "support/FakeDocumentServer.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"
#include "editor/upload/UploadTestData.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <SQLiteCpp/SQLiteCpp.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <sys/stat.h>

using namespace zuvo;
using namespace std::chrono_literals;

namespace {

using namespace upload_test;
constexpr qint64 kStored = 1717236000;  // the stored `modified`, in seconds

class UploadFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog_ = test::makeTempDir() + "/alerts.jsonl";
    testhooks::setAlertLogFile(alertLog_);
    const GlobalData& data = GlobalData::sharedGlobalData();
    folder_ = QDir::cleanPath(data.getDocumentDownloadPath() + "/" + kToken);
    backup_ = QDir::cleanPath(data.getBackupDocumentPath());
    ASSERT_TRUE(QDir().mkpath(folder_));
    ASSERT_TRUE(QDir().mkpath(backup_));
    file_ = folder_ + "/" + kFileName;
    ASSERT_TRUE(test::writeFile(file_, content_));
    setMtime(file_, kStored);
    lock_ = folder_ + "/~$" + kFileName;
    ASSERT_TRUE(test::writeFile(lock_, "lock"));

    db_ = data.getDatabasePath();
    SQLite::Database db(db_.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    if (!db.tableExists("tb_documents")) db.exec(test::editorDatabaseSchema());
    addRow(DocumentEditController::formatModifiedDate(QDateTime::fromSecsSinceEpoch(kStored)));

    server_.route("POST /plugin/upload.php", test::FakeReply{.status = 200});
  }

  void TearDown() override { testhooks::setAlertLogFile({}); }

  void addRow(const QString& modified) {
    SQLite::Database db(db_.toStdString(), SQLite::OPEN_READWRITE);
    SQLite::Statement insert(db, "insert into tb_documents(name,modified,token) values (?,?,?)");
    insert.bind(1, kFileName.toStdString());
    insert.bind(2, modified.toStdString());
    insert.bind(3, kToken.toStdString());
    insert.exec();
  }

  std::vector<std::string> column(const char* name) {
    SQLite::Database db(db_.toStdString());
    SQLite::Statement q(db, std::string("SELECT ") + name + " FROM tb_documents ORDER BY rowid");
    std::vector<std::string> values;
    while (q.executeStep()) values.push_back(q.getColumn(0).isNull() ? "NULL" : q.getColumn(0).getString());
    return values;
  }

  // Starts the server (once) and a new controller as the opening step leaves it.
  void open() {
    if (!server_.isRunning()) {
      ASSERT_TRUE(server_.start());
    }
    controller_ = DocumentEditController::create();
    controller_->upload_url = server_.url("/");
    info_ = std::make_shared<DocInfo>();
    info_->uploadURL = *controller_->upload_url;
    info_->fileName = kFileName;
    info_->token = kToken;
    info_->destinationFolderPath = folder_;
    info_->destinationFilePath = file_;
  }

  void save(const QByteArray& content, qint64 secs, long nsec = 0) {
    content_ = content;
    ASSERT_TRUE(test::writeFile(file_, content));
    setMtime(file_, secs, nsec);
  }

  void notify() { controller_->receivedNotification(info_); }

  // Bodies of every request to the upload URL so far.
  QList<QByteArray> bodies() const {
    QList<QByteArray> out;
    for (const auto& r : server_.requestsTo("/plugin/upload.php")) out << r.body;
    return out;
  }
  // The bytes of the token archive's single entry.
  QByteArray archived() const {
    QByteArray out;
    if (test::runProgram("7z", {"x", "-so", "-pKavrel902476", backup_ + "/" + kToken + ".zip"}, &out) != 0)
      return "<7z failed>";
    return out;
  }
  bool waitForBodies(int n, std::chrono::milliseconds t = 10s) const {
    return test::waitUntil([&] { return bodies().size() >= n; }, t);
  }

  QList<QJsonObject> alerts() const { return test::readJsonLines(alertLog_); }

  // Waits until the controller has nothing in flight (the flag is clear) and the server has
  // been quiet for a moment.
  void settle() {
    test::waitUntil([&] { return !controller_->upload_onProgress; });
    test::spin(300ms);
  }

  test::FakeDocumentServer server_;
  QString alertLog_, folder_, backup_, file_, lock_, db_;
  QByteArray content_ = QByteArray("first\r\n\0\xff", 9);
  std::shared_ptr<DocumentEditController> controller_;
  std::shared_ptr<DocInfo> info_;
};

TEST_F(UploadFlow, NewerSaveUploadsExactBytesThenReportsUpload) {
  open();
  const QByteArray saved("PK\x03\x04\r\n\0\xff\xfe end", 14);
  save(saved, kStored + 1, 500'000'000);
  notify();
  ASSERT_TRUE(waitForBodies(2));
  settle();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody(saved), statusBody("upload")}));
  const auto requests = server_.requestsTo("/plugin/upload.php");
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].header("Content-Type"),
            "multipart/form-data; boundary=---------------------------14737809831466499882746641449");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_FALSE(controller_->upload_onProgress);
  EXPECT_EQ(column("modified"), std::vector<std::string>{DocumentEditController::formatModifiedDate(
                                    QDateTime::fromSecsSinceEpoch(kStored + 1)).toStdString()});
  const QString uploaded = QString::fromStdString(column("uploaded").at(0));
  EXPECT_TRUE(uploaded.endsWith(" +0000")) << uploaded.toStdString();
  QDateTime when = QDateTime::fromString(uploaded.left(19), "yyyy-MM-dd HH:mm:ss");
  when.setTimeSpec(Qt::UTC);
  EXPECT_LE(std::abs(when.secsTo(QDateTime::currentDateTimeUtc())), 60) << uploaded.toStdString();
  EXPECT_TRUE(alerts().isEmpty());

  // A batch without a new save uploads nothing; a save half a second after the one uploaded
  // (the stored text holds the same second) is a new save.
  // The batch decides at once: an upload it started would show in the flag (and be sent only
  // after the file has settled, later than any short wait here).
  notify();
  EXPECT_FALSE(controller_->upload_onProgress) << "the batch started an upload";
  EXPECT_EQ(bodies().size(), 2);
  save("again", kStored + 2);
  notify();
  ASSERT_TRUE(waitForBodies(4));
  settle();
  EXPECT_EQ(bodies().mid(2), (QList<QByteArray>{uploadBody("again"), statusBody("upload")}));
  EXPECT_TRUE(QFile::exists(file_)) << "the lock file keeps the document open";
}

// A save during an upload is uploaded once that upload and its report are answered, never in
// parallel; the row records a save only once its upload succeeded.
TEST_F(UploadFlow, SaveDuringAnUploadGoesUpNext) {
  server_.route("POST /plugin/upload.php",
                QList<test::FakeReply>{{.status = 200, .delaySeconds = 1.5}, {.status = 200}});
  addRow("2024-01-01 00:00:00");  // a second row of the token: still one upload per pass
  open();
  save("one", kStored + 5);
  notify();
  ASSERT_TRUE(waitForBodies(1));
  EXPECT_TRUE(controller_->upload_onProgress);
  save("two", kStored + 10);
  notify();
  const std::string before = DocumentEditController::formatModifiedDate(QDateTime::fromSecsSinceEpoch(kStored)).toStdString();
  EXPECT_EQ(column("modified"), (std::vector<std::string>{before, "2024-01-01 00:00:00"}));
  ASSERT_TRUE(waitForBodies(4));
  settle();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("one"), statusBody("upload"), uploadBody("two"), statusBody("upload")}));
  const std::string two = DocumentEditController::formatModifiedDate(QDateTime::fromSecsSinceEpoch(kStored + 10)).toStdString();
  EXPECT_EQ(column("modified"), (std::vector<std::string>{two, two}));
  save("three", kStored + 15);
  notify();
  ASSERT_TRUE(waitForBodies(6));
  EXPECT_EQ(bodies().mid(4), (QList<QByteArray>{uploadBody("three"), statusBody("upload")}));
}

TEST_F(UploadFlow, UnreadableOrMissingStoredDateCountsAsModified) {
  {
    SQLite::Database db(db_.toStdString(), SQLite::OPEN_READWRITE);
    db.exec("UPDATE tb_documents SET modified = 'not a date'");
  }
  open();
  notify();
  ASSERT_TRUE(waitForBodies(2));
  EXPECT_EQ(bodies()[0], uploadBody(content_));
}

TEST_F(UploadFlow, TokenWithoutRowIsNeverUploadedButStillClosed) {
  {
    SQLite::Database db(db_.toStdString(), SQLite::OPEN_READWRITE);
    db.exec("DELETE FROM tb_documents");
  }
  open();
  save("x", kStored + 100);
  notify();
  EXPECT_FALSE(controller_->upload_onProgress) << "the batch started an upload";
  EXPECT_TRUE(bodies().isEmpty());
  ASSERT_TRUE(QFile::remove(lock_));
  notify();
  ASSERT_TRUE(waitForBodies(1));
  EXPECT_EQ(bodies(), QList<QByteArray>{statusBody("close")});
  EXPECT_TRUE(QFile::exists(backup_ + "/" + kToken + ".zip"));
}

TEST_F(UploadFlow, FailedUploadOrReportLeavesTheNextSaveUploading) {
  server_.route("POST /plugin/upload.php", QList<test::FakeReply>{
                                               {.status = 500},  // upload fails
                                               {.status = 200},  // upload
                                               {.status = 404},  // its "upload" report fails
                                               {.status = 200},  // upload
                                               {.status = 200},  // report
                                           });
  open();
  for (int i = 1; i <= 3; ++i) {
    save("save " + QByteArray::number(i), kStored + 10 * i);
    notify();
    ASSERT_TRUE(waitForBodies(i == 1 ? 1 : i == 2 ? 3 : 5)) << i;
    settle();
    EXPECT_FALSE(controller_->upload_onProgress) << i;
  }
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("save 1"), uploadBody("save 2"), statusBody("upload"),
                                         uploadBody("save 3"), statusBody("upload")}));
  const auto shown = alerts();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_TRUE(shown[0]["message"].toString().startsWith("An error occurred while uploading document. Error : "));
  EXPECT_EQ(shown[0]["informative"].toString(), "");
}

TEST_F(UploadFlow, DocumentThatCannotBeReadIsAFailedUploadNotAnEmptyOne) {
  open();
  ASSERT_TRUE(QFile::remove(file_));
  ASSERT_TRUE(QDir().mkdir(file_));  // the file's place holds something unreadable
  setMtime(file_, kStored + 50);
  notify();
  ASSERT_TRUE(test::waitUntil([&] { return !alerts().isEmpty(); }));
  settle();
  EXPECT_TRUE(bodies().isEmpty());
  EXPECT_FALSE(controller_->upload_onProgress);
  EXPECT_TRUE(alerts()[0]["message"].toString().startsWith("An error occurred while uploading document. Error : "));
}

TEST_F(UploadFlow, OfflineSendsNothingAndTheNextSaveTriesAgain) {
  open();
  save("offline save", kStored + 10);
  if (!test::withoutNetwork([&] { notify(); })) GTEST_SKIP() << "no network namespaces here";
  ASSERT_TRUE(test::waitUntil([&] { return !alerts().isEmpty(); }));
  const auto shown = alerts();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0]["message"].toString(), "");
  EXPECT_EQ(shown[0]["informative"].toString(), "The internet connection appears to be offline.");
  EXPECT_FALSE(controller_->upload_onProgress);
  test::spin(300ms);
  EXPECT_TRUE(bodies().isEmpty());

  save("online save", kStored + 20);
  notify();
  ASSERT_TRUE(waitForBodies(2));
  EXPECT_EQ(bodies()[0], uploadBody("online save"));
}

TEST_F(UploadFlow, SaveAndCloseWhileOfflineClosesAtOnce) {
  open();
  ASSERT_TRUE(QFile::remove(lock_));
  save("last save", kStored + 30);
  if (!test::withoutNetwork([&] { notify(); })) GTEST_SKIP() << "no network namespaces here";
  ASSERT_TRUE(test::waitUntil([&] { return alerts().size() >= 2; }));
  ASSERT_EQ(alerts().size(), 2);
  EXPECT_EQ(alerts()[1]["informative"].toString(), "They are kept only in the backup " + backup_ + "/" + kToken + ".zip.");
  EXPECT_FALSE(QFile::exists(folder_));
  EXPECT_EQ(archived(), "last save");
  test::spin(300ms);
  for (const QByteArray& body : bodies()) EXPECT_EQ(body, statusBody("close"));
}

TEST_F(UploadFlow, ClosingArchivesRemovesAndReportsClose) {
  open();
  // An older archive of the token is kept beside the new one.
  ASSERT_TRUE(test::writeFile(backup_ + "/" + kToken + ".zip", "old archive"));
  setMtime(backup_ + "/" + kToken + ".zip", kStored);
  ASSERT_TRUE(QFile::remove(lock_));
  notify();
  ASSERT_TRUE(waitForBodies(1));
  test::spin(300ms);
  EXPECT_EQ(bodies(), QList<QByteArray>{statusBody("close")});
  EXPECT_FALSE(QFile::exists(folder_));
  const QString archive = backup_ + "/" + kToken + ".zip";
  EXPECT_EQ(test::runProgram("7z", {"t", "-pKavrel902476", archive}), 0);
  EXPECT_NE(test::runProgram("7z", {"t", "-pwrong", archive}), 0);
  QByteArray listing;
  EXPECT_EQ(test::runProgram("7z", {"l", "-slt", "-pKavrel902476", archive}, &listing), 0);
  EXPECT_TRUE(listing.contains("Path = " + kFileName.toUtf8() + "\n")) << listing.constData();
  EXPECT_TRUE(listing.contains("Method = AES-256 Deflate"));
  EXPECT_FALSE(listing.contains("Path = " + kToken.toUtf8() + "/"));
  EXPECT_EQ(archived(), content_);
  EXPECT_EQ(test::readFile(backup::datedArchivePath(archive, QDateTime::fromSecsSinceEpoch(kStored))), "old archive");

  // A later batch finds the folder gone: the change check ends with nothing sent.
  notify();
  EXPECT_FALSE(controller_->upload_onProgress) << "the batch started an upload";
  EXPECT_EQ(bodies().size(), 1);
}

TEST_F(UploadFlow, FailedZipMovesTheFolderUnlessTheFallbackExists) {
  // A folder in the archive's place makes every zip of the token fail.
  ASSERT_TRUE(QDir().mkpath(backup_ + "/" + kToken + ".zip/x"));
  open();
  ASSERT_TRUE(QFile::remove(lock_));
  notify();
  ASSERT_TRUE(waitForBodies(1));
  EXPECT_FALSE(QFile::exists(folder_));
  EXPECT_EQ(test::readFile(backup_ + "/" + kToken + "/" + kFileName), content_);

  // Opened and closed again: the fallback folder exists now, so the folder stays.
  ASSERT_TRUE(QDir().mkpath(folder_));
  ASSERT_TRUE(test::writeFile(file_, "second"));
  setMtime(file_, kStored);  // not saved since: nothing to upload
  notify();
  ASSERT_TRUE(waitForBodies(2));
  EXPECT_EQ(bodies(), (QList<QByteArray>{statusBody("close"), statusBody("close")}));
  EXPECT_EQ(test::readFile(file_), "second");
  EXPECT_EQ(test::readFile(backup_ + "/" + kToken + "/" + kFileName), content_);
  EXPECT_TRUE(QFileInfo(backup_ + "/" + kToken + ".zip/x").isDir());
}

// The save on closing and the removal of the lock file come in one batch: the last save is
// uploaded, a failed upload tried once more, and then the document is closed; when the save
// never reached the server the user is told it is only in the backup.
TEST_F(UploadFlow, SaveAndCloseInOneBatchUploadsTheLastSaveThenCloses) {
  struct Case {
    QList<int> statuses;
    int uploads;
    bool unsent;
  } cases[] = {{{200}, 1, false}, {{500, 200}, 2, false}, {{500, 500, 200}, 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statuses.size());
    QList<test::FakeReply> replies;
    for (const int status : c.statuses) replies << test::FakeReply{.status = status};
    ASSERT_TRUE(server_.route("POST /plugin/upload.php", replies));
    open();
    ASSERT_TRUE(QDir().mkpath(folder_));
    save("last save " + QByteArray::number(c.statuses.size()), kStored + 10 * c.statuses.size());
    QFile::remove(lock_);
    const int before = int(bodies().size());
    const int alertsBefore = int(alerts().size());
    notify();
    ASSERT_TRUE(waitForBodies(before + c.uploads + 1));
    test::spin(300ms);
    QList<QByteArray> expected(c.uploads, uploadBody(content_));
    expected << statusBody("close");
    EXPECT_EQ(bodies().mid(before), expected);
    EXPECT_FALSE(QFile::exists(folder_));
    EXPECT_EQ(archived(), content_);
    const QList<QJsonObject> shown = alerts().mid(alertsBefore);
    ASSERT_EQ(shown.size(), (c.uploads > 1 ? 1 : 0) + (c.unsent ? 1 : 0));
    if (c.unsent) {
      EXPECT_EQ(shown.last()["message"].toString(), "The last changes of " + kFileName + " could not be sent to the server.");
      EXPECT_EQ(shown.last()["informative"].toString(), "They are kept only in the backup " + backup_ + "/" + kToken + ".zip.");
    }
  }
}

TEST_F(UploadFlow, CloseReportStopsTheWatcherOnlyWhenItSucceeds) {
  struct Case {
    int status;
    bool stopped;
  } cases[] = {{503, false}, {200, true}};
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    ASSERT_TRUE(server_.route("POST /plugin/upload.php", test::FakeReply{.status = c.status}));
    ASSERT_TRUE(QDir().mkpath(folder_));
    ASSERT_TRUE(test::writeFile(file_, content_));
    setMtime(file_, kStored);
    QFile::remove(lock_);
    auto watcher = AAPLFileTreeWatcherThread::create(folder_, [] {}, true);
    watcher->start();
    controller_->fileTreeWatcherThread = watcher;
    const int before = int(bodies().size());
    notify();
    ASSERT_TRUE(waitForBodies(before + 1));
    test::spin(300ms);
    EXPECT_EQ(bodies().last(), statusBody("close"));
    EXPECT_EQ(controller_->fileTreeWatcherThread == nullptr, c.stopped);
    if (c.stopped) {
      EXPECT_TRUE(test::waitUntil([&] { return watcher->isFinished(); }));
    }
    EXPECT_FALSE(watcher->isFinished() && !c.stopped);
    EXPECT_EQ(controller_->isCancelled(), c.stopped);
    controller_->stopWatchingFolder();  // after a stop this finds nothing and does no harm
    EXPECT_EQ(controller_->fileTreeWatcherThread, nullptr);
  }
}

}  // namespace
