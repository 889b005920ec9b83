// ZuvoEditor end to end: a document opened in the fake word processor is uploaded after its
// saves, reported, and backed up when the word processor closes it.
#include "editor/BackupArchive.h"
#include "editor/GlobalData.h"
#include "platform/fs/Paths.h"

#include "support/EditorProcess.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"
#include "editor/upload/OfficeLockFixture.h"
#include "editor/upload/UploadTestData.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <SQLiteCpp/SQLiteCpp.h>
#include <fcntl.h>
#include <csignal>
#include <sys/stat.h>

using namespace zuvo::test;
using namespace std::chrono_literals;

namespace {

using namespace upload_test;

const QString kDocumentPath = "/docs/Brief_M%C3%BCller_ABC123.docx";
const QByteArray kLetter("Dear Ann,\r\n\0\xff binary tail\r\n", 27);
const QByteArray kPassword = "-pKavrel902476";

qint64 mtimeNanos(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
  return qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// Threads of the program that run a folder watcher.
int watcherThreads(qint64 pid) {
  int n = 0;
  const QString tasks = QString("/proc/%1/task").arg(pid);
  for (const QString& t : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
    if (readFile(tasks + "/" + t + "/comm").trimmed() == "AAPLFileTreeWat") ++n;
  return n;
}

class EditorUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog_ = makeTempDir("alerts") + "/alerts.jsonl";
    editor_.environment().insert("ZUVO_ALERT_LOG", alertLog_);
    editor_.environment().insert("XDG_DATA_DIRS", makeTempDir("no-apps"));
    qputenv("XDG_DATA_DIRS", editor_.environment().value("XDG_DATA_DIRS").toUtf8());
    const GlobalData& data = GlobalData::sharedGlobalData();
    folder_ = data.getDocumentDownloadPath() + kToken;
    file_ = folder_ + "/" + kFileName;
    backup_ = QDir::cleanPath(data.getBackupDocumentPath());
    server_.route("GET " + kDocumentPath, FakeReply{.body = kLetter});
  }

  // Starts everything and opens the letter; the hidden ".~lock" file keeps it open.
  void openLetter(const QList<FakeReply>& uploadReplies = {FakeReply{}}) {
    startAll(uploadReplies);
    requestLetter();
    ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 1; }, 30s)) << editor_.output().toStdString();
    ASSERT_TRUE(waitUntil([&] { return fake_.documents().contains(file_); }, 20s));
    stored_ = storedModified();
    ASSERT_GT(stored_, 0);
  }

  void startAll(const QList<FakeReply>& uploadReplies = {FakeReply{}}) {
    server_.route("POST /plugin/upload.php", uploadReplies);
    ASSERT_TRUE(fake_.start());
    ASSERT_TRUE(server_.start());
    ASSERT_TRUE(editor_.start());
  }
  void requestLetter(const QString& path = kDocumentPath) const {
    EditorProcess::post({{"action", "DownloadDoc"},
                         {"download_url", server_.url(path)},
                         {"upload_url", server_.url("/")},
                         {"is_new_doc", "1"}});
  }

  qint64 storedModified() const {
    SQLite::Database db(QFile::encodeName(GlobalData::sharedGlobalData().getDatabasePath()).toStdString());
    SQLite::Statement q(db, "select modified from tb_documents");
    if (!q.executeStep()) return 0;
    return QDateTime::fromString(QString::fromStdString(q.getColumn(0).getString()), "yyyy-MM-dd HH:mm:ss")
        .toSecsSinceEpoch();
  }

  // A save (by the word processor in `mode`, or of `content` by another program); the file's
  // date is then set to `offset` after the stored date, within the same batch of changes.
  void saveAt(std::chrono::milliseconds offset, const QString& mode = "in-place", const QByteArray& content = {}) {
    if (mode == "content")
      ASSERT_TRUE(writeFile(file_, content));
    else
      ASSERT_TRUE(fake_.save(file_, mode));
    setDate(offset);
  }
  void setDate(std::chrono::milliseconds offset) {
    const qint64 ms = stored_ * 1000 + offset.count();
    setMtime(file_, ms / 1000, long(ms % 1000) * 1'000'000);
  }

  QList<QByteArray> bodies() const {
    QList<QByteArray> out;
    for (const auto& r : server_.requestsTo("/plugin/upload.php")) out << r.body;
    return out;
  }
  bool waitForBodies(int n, std::chrono::milliseconds t = 20s) const {
    return waitUntil([&] { return bodies().size() >= n; }, t);
  }
  // Longer than a batch of changes and its handling: nothing more may arrive.
  void quiet() { spin(2500ms); }

  // The archive's entries, or only `entry`, as one text.
  QByteArray archived(const QString& password = kPassword, const QString& entry = {}) const {
    QByteArray out;
    QStringList args{"x", "-so", password, backup_ + "/" + kToken + ".zip"};
    if (!entry.isEmpty()) args << entry;
    if (runProgram("7z", args, &out) != 0) return "<7z failed>";
    return out;
  }
  QList<QJsonObject> alerts() const { return readJsonLines(alertLog_); }
  // The user hears that the backup failed and where the document is instead.
  void expectBackupFailureTold(const QString& keptIn) const {
    const QList<QJsonObject> a = alerts();
    ASSERT_EQ(a.size(), 1);
    EXPECT_EQ(a[0].value("message").toString(), "The backup of " + kFileName + " could not be written.");
    EXPECT_EQ(a[0].value("informative").toString(), "The document is kept in " + keptIn + ".");
  }

  FakeWordProcessor fake_{{.lock = "office"}};
  FakeDocumentServer server_;
  EditorProcess editor_;
  QString alertLog_, folder_, file_, backup_;
  qint64 stored_ = 0;
};

}  // namespace

TEST_F(EditorUpload, SavesAreUploadedByTheRuleAndTheClosedLetterIsBackedUp) {
  openLetter({FakeReply{}, FakeReply{}, FakeReply{}, FakeReply{}, FakeReply{.delaySeconds = 2.5}, FakeReply{}});

  saveAt(1500ms);
  ASSERT_TRUE(waitForBodies(2)) << editor_.output().toStdString();
  const QByteArray saved = readFile(file_);
  EXPECT_TRUE(saved.contains("\r\n") && saved.contains('\0') && saved.contains('\xff'));
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody(saved), statusBody("upload")}));
  const auto upload = server_.requestsTo("/plugin/upload.php")[0];
  EXPECT_EQ(upload.method, "POST");
  EXPECT_EQ(upload.header("Content-Type"),
            "multipart/form-data; boundary=---------------------------14737809831466499882746641449");

  // A batch that brings no newer save uploads nothing; any later save does, even within the
  // same second.
  saveAt(1500ms);
  quiet();
  EXPECT_EQ(bodies().size(), 2);
  saveAt(1900ms, "rename");
  ASSERT_TRUE(waitForBodies(4));
  EXPECT_EQ(bodies().mid(2), (QList<QByteArray>{uploadBody(readFile(file_)), statusBody("upload")}));

  // A save while an upload runs waits for it and goes up next, never in parallel.
  saveAt(10s, "content", "slow upload");
  ASSERT_TRUE(waitForBodies(5));
  saveAt(20s, "content", "saved meanwhile");
  ASSERT_TRUE(waitForBodies(8));
  quiet();
  EXPECT_EQ(bodies().mid(4), (QList<QByteArray>{uploadBody("slow upload"), statusBody("upload"),
                                                uploadBody("saved meanwhile"), statusBody("upload")}));

  // Closing: the lock file goes, the folder is archived and removed, "close" reported, the
  // watcher stopped.
  const QByteArray last = readFile(file_);
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitForBodies(9));
  EXPECT_EQ(bodies().last(), statusBody("close"));
  EXPECT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 0; }));
  EXPECT_FALSE(QFile::exists(folder_));
  const QString archive = backup_ + "/" + kToken + ".zip";
  EXPECT_EQ(runProgram("7z", {"t", kPassword, archive}), 0);
  EXPECT_NE(runProgram("7z", {"t", "-pWrong", archive}), 0);
  QByteArray listing;
  EXPECT_EQ(runProgram("7z", {"l", "-slt", kPassword, archive}, &listing), 0);
  EXPECT_TRUE(listing.contains("Path = " + kFileName.toUtf8() + "\n")) << listing.constData();
  EXPECT_TRUE(listing.contains("Method = AES-256 Deflate"));
  EXPECT_EQ(listing.count("Path = "), 2);  // the archive itself and its single entry
  EXPECT_EQ(archived(), last);
  EXPECT_TRUE(alerts().isEmpty());
  for (const QString& m : {kFileName + " : Upload started", kFileName + " : Internet Reachable",
                           kFileName + " : Document modified", kFileName + " : Upload Completed",
                           kFileName + " : Sending message to server with status upload",
                           kFileName + " : Document was closed.", kFileName + " : Backup started.",
                           kFileName + " : Backup completed. Document deleted",
                           kFileName + " : Sending message to server with status close"})
    EXPECT_TRUE(editor_.waitForOutput(m)) << m.toStdString();
}

TEST_F(EditorUpload, SaveAndCloseInOneBatchUploadsTheLastSaveFirst) {
  openLetter();
  spin(1500ms);  // the save on closing is then more than a second newer than the stored date
  ASSERT_TRUE(fake_.saveAndClose(file_));
  ASSERT_TRUE(waitForBodies(2)) << editor_.output().toStdString();
  quiet();
  const QList<QByteArray> b = bodies();
  ASSERT_EQ(b.size(), 2);
  EXPECT_TRUE(b[0].startsWith("\r\n" + kDelimiter));
  EXPECT_EQ(b[1], statusBody("close"));
  EXPECT_EQ(b[0], uploadBody(archived())) << "the server and the backup hold the same last save";
  EXPECT_FALSE(QFile::exists(folder_));
  EXPECT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 0; }));
}

TEST_F(EditorUpload, FailedUploadsAndReportsDoNotStopLaterSaves) {
  openLetter({FakeReply{.status = 500}, FakeReply{}, FakeReply{.status = 404}, FakeReply{}});
  saveAt(2s, "content", "one");
  ASSERT_TRUE(waitForBodies(1));
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 1; }));
  EXPECT_TRUE(alerts()[0]["message"].toString().startsWith("An error occurred while uploading document. Error : "));
  saveAt(4s, "content", "two");
  ASSERT_TRUE(waitForBodies(3));  // upload and its failing report
  saveAt(6s, "content", "three");
  ASSERT_TRUE(waitForBodies(5)) << editor_.output().toStdString();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("one"), uploadBody("two"), statusBody("upload"),
                                         uploadBody("three"), statusBody("upload")}));

  // A document that cannot be read is a failed upload, not an empty one. The check that follows
  // every upload must have run first: between the removal and the folder taking the file's place
  // it would see the letter closed.
  quiet();
  ASSERT_TRUE(QFile::remove(file_));
  ASSERT_TRUE(QDir().mkdir(file_));
  setDate(10s);
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 2; }, 20s)) << editor_.output().toStdString();
  quiet();
  EXPECT_EQ(bodies().size(), 5);
}

TEST_F(EditorUpload, FailedZipMovesTheFolderAsideAndFailedCloseKeepsTheWatcher) {
  ASSERT_TRUE(QDir().mkpath(backup_ + "/" + kToken + ".zip/in-the-way"));
  openLetter({FakeReply{.status = 503}});
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitForBodies(1)) << editor_.output().toStdString();
  EXPECT_EQ(bodies()[0], statusBody("close"));
  EXPECT_FALSE(QFile::exists(folder_));
  EXPECT_EQ(readFile(backup_ + "/" + kToken + "/" + kFileName), kLetter);
  EXPECT_TRUE(editor_.waitForOutput(kFileName + " : Zipping document was failed"));
  EXPECT_TRUE(editor_.waitForOutput(kFileName + " : Error occurred while sending status, Error : "));
  quiet();
  EXPECT_EQ(watcherThreads(editor_.pid()), 1);
  expectBackupFailureTold(backup_ + "/" + kToken);
}

TEST_F(EditorUpload, FailedZipWithTheFallbackTakenLeavesTheFolder) {
  ASSERT_TRUE(QDir().mkpath(backup_ + "/" + kToken + ".zip/in-the-way"));
  ASSERT_TRUE(QDir().mkpath(backup_ + "/" + kToken));
  ASSERT_TRUE(writeFile(backup_ + "/" + kToken + "/earlier.docx", "earlier"));
  openLetter();
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitForBodies(1)) << editor_.output().toStdString();
  EXPECT_EQ(bodies()[0], statusBody("close"));
  EXPECT_EQ(readFile(file_), kLetter);
  EXPECT_EQ(QDir(backup_ + "/" + kToken).entryList(QDir::Files), QStringList{"earlier.docx"});
  EXPECT_TRUE(editor_.waitForOutput(kToken + " : Document Backup was failed. Error : "));
  expectBackupFailureTold(folder_);
}

// A save that comes while the slow server still holds the upload of the one before: it goes up
// once that upload is answered, is recorded as handled only then, and the letter closes after.
TEST_F(EditorUpload, SaveDuringASlowUploadIsUploadedNext) {
  openLetter({FakeReply{.delaySeconds = 2.5}, FakeReply{}});
  saveAt(2s, "content", "first save");
  ASSERT_TRUE(waitForBodies(1)) << editor_.output().toStdString();
  saveAt(4s, "content", "second save");
  ASSERT_TRUE(waitForBodies(4)) << editor_.output().toStdString();
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitForBodies(5));
  quiet();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("first save"), statusBody("upload"), uploadBody("second save"),
                                         statusBody("upload"), statusBody("close")}));
  EXPECT_EQ(storedModified(), stored_ + 4);
  EXPECT_EQ(archived(), "second save");
  EXPECT_TRUE(alerts().isEmpty());
}

// Saved and closed while the slow server holds the upload of an earlier save: the last save is
// sent once that upload is answered, and "close" goes out once, after it.
TEST_F(EditorUpload, SaveAndCloseDuringASlowUploadSendsTheLastSaveThenCloseOnce) {
  constexpr double kDelay = 3;
  openLetter({FakeReply{.delaySeconds = kDelay}, FakeReply{}});
  saveAt(2s, "content", "held by the server");
  ASSERT_TRUE(waitForBodies(1)) << editor_.output().toStdString();
  saveAt(4s, "content", "last save");
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitForBodies(3)) << editor_.output().toStdString();
  quiet();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("held by the server"), uploadBody("last save"), statusBody("close")}));
  const auto requests = server_.requestsTo("/plugin/upload.php");
  ASSERT_EQ(requests.size(), 3);
  EXPECT_GE(requests[1].time, requests[0].time + kDelay - 0.05) << "not sent before the first was answered";
  EXPECT_FALSE(QFile::exists(folder_));
  EXPECT_EQ(archived(), "last save");
  EXPECT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 0; }));
}

// Ten letters, each saved twice 1.5 s apart while the server takes 2 s for every answer: every
// second save reaches the server.
TEST_F(EditorUpload, TenLettersSavedTwiceDuringSlowAnswersAllReachTheServer) {
  constexpr int kLetters = 10;
  startAll({FakeReply{.delaySeconds = 2}});
  const QString documents = GlobalData::sharedGlobalData().getDocumentDownloadPath();
  auto fileOf = [&](int i) { return documents + QString("T%1/Letter_T%1.docx").arg(i); };
  for (int i = 0; i < kLetters; ++i) {
    const QString path = QString("/docs/Letter_T%1.docx").arg(i);
    ASSERT_TRUE(server_.route("GET " + path, FakeReply{.body = "letter " + QByteArray::number(i)}));
    requestLetter(path);
  }
  ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == kLetters; }, 60s)) << editor_.output().toStdString();
  ASSERT_TRUE(waitUntil([&] { return fake_.documents().size() == kLetters; }, 30s));
  auto saveAll = [&](const QByteArray& which) {
    for (int i = 0; i < kLetters; ++i)
      ASSERT_TRUE(writeFile(fileOf(i), "letter " + QByteArray::number(i) + " " + which));
  };
  saveAll("save 1");
  spin(1500ms);
  saveAll("save 2");
  // The server's last copy of every letter is its second save.
  auto lastUploads = [&] {
    QMap<QByteArray, QByteArray> last;
    for (const auto& r : server_.requestsTo("/plugin/upload.php")) {
      const int at = r.body.indexOf("letter ");
      if (!r.body.startsWith("\r\n") || at < 0) continue;
      const QByteArray text = r.body.mid(at, r.body.indexOf("\r\n", at) - at);
      last[text.split(' ')[1]] = text;
    }
    return last;
  };
  ASSERT_TRUE(waitUntil([&] {
    const auto last = lastUploads();
    for (int i = 0; i < kLetters; ++i)
      if (last.value(QByteArray::number(i)) != "letter " + QByteArray::number(i) + " save 2") return false;
    return true;
  }, 120s)) << editor_.output().toStdString();
  EXPECT_TRUE(alerts().isEmpty());
}

// A save a moment after the download (within the same second) is the user's: it goes up.
TEST_F(EditorUpload, SaveWithinOneSecondOfTheDownloadIsUploaded) {
  openLetter();
  const qint64 downloaded = mtimeNanos(file_);
  ASSERT_TRUE(writeFile(file_, "typed at once"));
  const qint64 ns = downloaded + 1'000'000;  // 1 ms later
  setMtime(file_, ns / 1'000'000'000, long(ns % 1'000'000'000));
  ASSERT_TRUE(waitForBodies(2)) << editor_.output().toStdString();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("typed at once"), statusBody("upload")}));
}

// The word processor writes half of the file, pauses past the watcher's batching, then writes
// the rest: only the complete file is sent.
TEST_F(EditorUpload, SlowlyWrittenSaveIsSentOnlyWhenComplete) {
  openLetter();
  ASSERT_TRUE(fake_.save(file_, "slow"));
  ASSERT_TRUE(waitUntil([&] { return !fake_.journal("save").isEmpty(); }, 20s));
  ASSERT_TRUE(waitForBodies(2)) << editor_.output().toStdString();
  quiet();
  ASSERT_EQ(readFile(file_), kLetter);
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody(kLetter), statusBody("upload")}));
}

// The upload of an edit fails, the letter is closed, requested again and closed without a new
// save: the archive of the edit is kept beside the new one.
TEST_F(EditorUpload, ReopenedAfterAFailedUploadKeepsTheArchiveOfTheEdit) {
  openLetter({FakeReply{.status = 500}});
  saveAt(2s, "content", "the only copy of the edit");
  ASSERT_TRUE(waitForBodies(1)) << editor_.output().toStdString();
  ASSERT_TRUE(waitUntil([&] { return !alerts().isEmpty(); }));
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitUntil([&] { return !QFile::exists(folder_); }, 30s)) << editor_.output().toStdString();
  ASSERT_EQ(archived(), "the only copy of the edit");
  const QString first = backup_ + "/" + kToken + ".zip";
  const QDateTime written = QFileInfo(first).lastModified();

  const int before = int(bodies().size());
  requestLetter();
  ASSERT_TRUE(waitUntil([&] { return QFile::exists(file_) && fake_.documents().contains(file_); }, 30s));
  ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) >= 1; }, 30s));
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitUntil([&] { return bodies().size() > before && !QFile::exists(folder_); }, 30s))
      << editor_.output().toStdString();
  EXPECT_EQ(archived(), kLetter);
  QByteArray kept;
  ASSERT_EQ(runProgram("7z", {"x", "-so", kPassword, zuvo::backup::datedArchivePath(first, written)}, &kept), 0);
  EXPECT_EQ(kept, "the only copy of the edit");
}

// The database is held by another program for a few seconds when the letter arrives: the row
// is written once it is free, the folder watched and the next save uploaded.
TEST_F(EditorUpload, DatabaseBusyWhenTheLetterArrivesStillRecordsAndUploads) {
  startAll();
  const QString database = GlobalData::sharedGlobalData().getDatabasePath();
  ASSERT_TRUE(waitUntil([&] { return QFile::exists(database); }));
  {
    SQLite::Database holder(QFile::encodeName(database).toStdString(), SQLite::OPEN_READWRITE);
    holder.exec("BEGIN EXCLUSIVE");
    requestLetter();
    ASSERT_TRUE(editor_.waitForOutput(kFileName + " : Downloading document completed", 30s));
    spin(4s);  // the other program's work
    holder.exec("COMMIT");
  }
  ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 1; }, 30s)) << editor_.output().toStdString();
  EXPECT_TRUE(editor_.waitForOutput(kFileName + " : Document details inserted into database successfully"));
  ASSERT_TRUE(waitUntil([&] { return fake_.documents().contains(file_); }, 20s));
  ASSERT_TRUE(writeFile(file_, "saved after the wait"));
  ASSERT_TRUE(waitForBodies(2)) << editor_.output().toStdString();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("saved after the wait"), statusBody("upload")}));
  EXPECT_TRUE(alerts().isEmpty());
}

// A database that cannot record the letter at all: the folder is still watched, the user is
// told once, and the closed letter is backed up and reported.
TEST_F(EditorUpload, LetterThatCannotBeRecordedIsStillWatchedAndBackedUp) {
  const QString database = GlobalData::sharedGlobalData().getDatabasePath();
  ASSERT_TRUE(QDir().mkpath(QFileInfo(database).path()));
  ASSERT_TRUE(writeFile(database, QByteArray(4096, 'x')));  // no database at all
  startAll();
  requestLetter();
  ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 1; }, 30s)) << editor_.output().toStdString();
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 1; }));
  EXPECT_TRUE(alerts()[0]["informative"].toString().startsWith(kFileName + " could not be recorded"));
  ASSERT_TRUE(waitUntil([&] { return fake_.documents().contains(file_); }, 20s));
  ASSERT_TRUE(writeFile(file_, "saved while unrecorded"));
  spin(1500ms);
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitForBodies(1)) << editor_.output().toStdString();
  quiet();
  EXPECT_EQ(bodies().last(), statusBody("close"));
  EXPECT_EQ(archived(), "saved while unrecorded");
  EXPECT_EQ(alerts().size(), 1);
}

// Whatever the umask, the editor's folders, the letter's folder and the database are the
// user's alone; a shared folder left wider before is tightened at start.
TEST_F(EditorUpload, FoldersAndDatabaseAreOwnerOnly) {
  const QString shared = zuvo::paths::dataFolder();
  ASSERT_TRUE(QDir().mkpath(shared + "/Data"));
  ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0755), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(shared + "/Data").constData(), 0777), 0);
  const mode_t before = ::umask(0);
  openLetter();
  ::umask(before);
  const GlobalData& data = GlobalData::sharedGlobalData();
  auto mode = [](const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
  };
  for (const QString& folder : {shared, shared + "/Data", data.getDocumentDownloadPath(), data.getBackupDocumentPath(),
                                data.getTempDirectoryPath(), folder_})
    EXPECT_EQ(mode(QDir::cleanPath(folder)), 0700) << folder.toStdString();
  EXPECT_EQ(mode(data.getDatabasePath()), 0600);
}

// A failed upload is tried again while the letter stays open, and once more when it closes;
// when that fails too, the user is told that the last changes are only in the backup.
TEST_F(EditorUpload, FailedUploadIsRetriedWhileOpenAndOnceMoreAtClose) {
  openLetter({FakeReply{.status = 503}, FakeReply{}});
  saveAt(2s, "content", "first");
  ASSERT_TRUE(waitForBodies(3, 60s)) << editor_.output().toStdString();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("first"), uploadBody("first"), statusBody("upload")}));
  EXPECT_EQ(alerts().size(), 1);
  EXPECT_EQ(storedModified(), stored_ + 2);

  ASSERT_TRUE(server_.route("POST /plugin/upload.php", QList<FakeReply>{{.status = 500}, {.status = 500}, {}}));
  saveAt(4s, "content", "second");
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 2; }, 20s)) << editor_.output().toStdString();
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitForBodies(6, 30s)) << editor_.output().toStdString();
  quiet();
  EXPECT_EQ(bodies().mid(3), (QList<QByteArray>{uploadBody("second"), uploadBody("second"), statusBody("close")}));
  EXPECT_EQ(archived(), "second");
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 3; }));
  EXPECT_EQ(alerts()[2]["message"].toString(), "The last changes of " + kFileName + " could not be sent to the server.");
  EXPECT_EQ(alerts()[2]["informative"].toString(), "They are kept only in the backup " + backup_ + "/" + kToken + ".zip.");
  EXPECT_EQ(storedModified(), stored_ + 2) << "the unsent save is not recorded as handled";
}

// The editor is killed with an edit saved but not on the server. Whether the letter was closed
// meanwhile (backed up at the next start) or is still open in the word processor (backed up
// when it is requested again), the edit goes to a kept archive and the letter opens as the
// server's copy; the stale file is never uploaded over it.
class EditorLeftOver : public EditorUpload, public ::testing::WithParamInterface<bool> {};

TEST_P(EditorLeftOver, KilledWithAnUnsentEditKeepsItAndOpensTheServersCopy) {
  const bool closedWhileAway = GetParam();
  openLetter({FakeReply{.status = 500}});
  saveAt(2s, "content", "the edit");
  ASSERT_TRUE(waitUntil([&] { return !alerts().isEmpty(); }, 20s)) << editor_.output().toStdString();
  ASSERT_EQ(::kill(pid_t(editor_.pid()), SIGKILL), 0);
  ASSERT_TRUE(waitUntil([&] { return !editor_.isRunning(); }));
  if (closedWhileAway) {
    ASSERT_TRUE(fake_.close(file_));
  }

  const QByteArray newer = "a colleague's newer text";
  ASSERT_TRUE(server_.route("GET " + kDocumentPath, FakeReply{.body = newer}));
  ASSERT_TRUE(server_.route("POST /plugin/upload.php", FakeReply{}));
  ASSERT_TRUE(editor_.start());
  if (closedWhileAway) {
    ASSERT_TRUE(waitUntil([&] { return !QFile::exists(folder_); }, 30s)) << editor_.output().toStdString();
    EXPECT_EQ(archived(), "the edit");
  }
  requestLetter();
  ASSERT_TRUE(waitUntil([&] { return readFile(file_) == newer && watcherThreads(editor_.pid()) == 1; }, 30s))
      << editor_.output().toStdString();
  ASSERT_TRUE(waitUntil([&] { return fake_.text(file_) == QString::fromUtf8(newer); }, 20s));
  EXPECT_EQ(archived(kPassword, kFileName), "the edit");
  quiet();
  EXPECT_EQ(bodies(), QList<QByteArray>{uploadBody("the edit")}) << "only the failed upload before the kill";
}

INSTANTIATE_TEST_SUITE_P(Editor, EditorLeftOver, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ClosedWhileAway" : "StillOpen"; });

// A 150 MB letter is backed up while another letter's upload is answered: that upload's report
// goes out before the big letter's "close", so the backup held nothing else up.
TEST_F(EditorUpload, BigBackupDoesNotHoldUpAnotherLettersUpload) {
  const QString bigName = "Gross_BIG001.docx";
  const QString bigContent = makeTempDir("big") + "/" + bigName;
  {
    QFile random("/dev/urandom"), out(bigContent);
    ASSERT_TRUE(random.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
    for (int i = 0; i < 150; ++i) ASSERT_EQ(out.write(random.read(1 << 20)), 1 << 20);
  }
  server_.route("GET /docs/" + bigName, FakeReply{.bodyFile = bigContent});
  openLetter({FakeReply{.hold = true}, FakeReply{}});
  EditorProcess::post({{"action", "DownloadDoc"},
                       {"download_url", server_.url("/docs/" + bigName)},
                       {"upload_url", server_.url("/")},
                       {"is_new_doc", "1"}});
  const QString bigFolder = GlobalData::sharedGlobalData().getDocumentDownloadPath() + "BIG001";
  ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 2; }, 60s)) << editor_.output().toStdString();
  ASSERT_TRUE(waitUntil([&] { return fake_.documents().contains(bigFolder + "/" + bigName); }, 20s));

  ASSERT_TRUE(writeFile(file_, "small save"));
  ASSERT_TRUE(waitForBodies(1)) << editor_.output().toStdString();  // held by the server
  ASSERT_TRUE(fake_.close(bigFolder + "/" + bigName));
  ASSERT_TRUE(editor_.waitForOutput(bigName + " : Backup started.", 20s));
  ASSERT_TRUE(server_.release());
  ASSERT_TRUE(waitForBodies(3, 120s)) << editor_.output().toStdString();
  const QByteArray bigClose = "Status=close&token=BIG001&FileName=" + bigName.toUtf8();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("small save"), statusBody("upload"), bigClose}));
  EXPECT_FALSE(QFile::exists(bigFolder));
  EXPECT_EQ(runProgram("7z", {"t", kPassword, backup_ + "/BIG001.zip"}), 0);
}

// An alert left unanswered on screen while the user saves again and closes: the save reaches
// the server and the letter is reported closed.
TEST_F(EditorUpload, UnansweredAlertDoesNotStopTheNextSaveOrTheClose) {
  editor_.environment().insert("ZUVO_ALERT_HOLD", "1");
  openLetter({FakeReply{.status = 500}, FakeReply{}});
  saveAt(2s, "content", "first");
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 1; }, 20s)) << editor_.output().toStdString();
  saveAt(4s, "content", "second");
  ASSERT_TRUE(waitForBodies(3)) << editor_.output().toStdString();
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitForBodies(4)) << editor_.output().toStdString();
  quiet();
  EXPECT_EQ(bodies(),
            (QList<QByteArray>{uploadBody("first"), uploadBody("second"), statusBody("upload"), statusBody("close")}));
  EXPECT_EQ(archived(), "second");
}

// The editor is killed while the letter is open in the word processor. Started again, it
// watches the letter as before: the next save is uploaded and the close backed up and
// reported. When the letter's record is gone, nothing is uploaded and the closed letter is
// backed up all the same.
class EditorRestart : public EditorUpload, public ::testing::WithParamInterface<bool> {};

TEST_P(EditorRestart, LetterOpenWhileKilledIsWatchedAgain) {
  const bool recordKept = GetParam();
  openLetter({FakeReply{}});
  ASSERT_EQ(::kill(pid_t(editor_.pid()), SIGKILL), 0);
  ASSERT_TRUE(waitUntil([&] { return !editor_.isRunning(); }));
  if (!recordKept) {
    SQLite::Database db(QFile::encodeName(GlobalData::sharedGlobalData().getDatabasePath()).toStdString(),
                        SQLite::OPEN_READWRITE);
    db.exec("delete from tb_documents");
  }
  ASSERT_TRUE(editor_.start());
  ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 1; }, 30s)) << editor_.output().toStdString();
  quiet();
  EXPECT_TRUE(bodies().isEmpty()) << "the copy as found is not sent";

  saveAt(3s, "content", "saved after the restart");
  const QList<QByteArray> uploaded{uploadBody("saved after the restart"), statusBody("upload")};
  if (recordKept) {
    ASSERT_TRUE(waitForBodies(2)) << editor_.output().toStdString();
    EXPECT_EQ(bodies(), uploaded);
  }
  quiet();
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitUntil([&] { return !QFile::exists(folder_); }, 30s)) << editor_.output().toStdString();
  EXPECT_EQ(archived(kPassword, kFileName), "saved after the restart");
  quiet();
  EXPECT_EQ(bodies(), recordKept ? uploaded + QList<QByteArray>{statusBody("close")} : QList<QByteArray>{});
  EXPECT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Editor, EditorRestart, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "RecordKept" : "RecordGone"; });

// The letter is closed while its last upload is still pending (the server is slow to answer,
// after a refusal or not) and requested again at once: the request waits until that upload is
// answered and the closing steps have backed the letter up, then opens the server's copy.
TEST_F(EditorUpload, RequestedAgainWhileTheLastUploadIsPendingWaitsForTheClosingSteps) {
  struct Case {
    const char* name;
    QList<FakeReply> replies;
  } cases[] = {{"stalled", {FakeReply{.delaySeconds = 5}, FakeReply{}}},
               {"refused, then stalled", {FakeReply{.status = 500}, FakeReply{.delaySeconds = 5}, FakeReply{}}}};
  startAll();
  const QString archive = backup_ + "/" + kToken + ".zip";
  int opened = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(server_.route("GET " + kDocumentPath, FakeReply{.body = kLetter}));
    requestLetter();
    ++opened;
    ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 1 && fake_.documents().contains(file_); }, 30s))
        << editor_.output().toStdString();
    ASSERT_TRUE(server_.route("POST /plugin/upload.php", c.replies));
    const int before = int(bodies().size());
    const QByteArray save = QByteArray("the save of ") + c.name;
    ASSERT_TRUE(writeFile(file_, save));
    ASSERT_TRUE(waitForBodies(before + 1, 30s)) << editor_.output().toStdString();
    ASSERT_TRUE(fake_.close(file_));
    ASSERT_TRUE(waitForBodies(before + int(c.replies.size()) - 1, 30s)) << editor_.output().toStdString();

    const QByteArray fresh = QByteArray("the server's copy after ") + c.name;
    ASSERT_TRUE(server_.route("GET " + kDocumentPath, FakeReply{.body = fresh}));
    const QString started = " : Downloading document started";
    const int requests = int(editor_.output().count(started));
    requestLetter();
    // The editor has taken the request; a download that did not wait would follow at once.
    ASSERT_TRUE(editor_.waitForOutput(started, requests + 1)) << editor_.output().toStdString();
    spin(1s);
    EXPECT_EQ(server_.requestsTo(kDocumentPath.toUtf8()).size(), opened) << editor_.output().toStdString();
    EXPECT_EQ(readFile(file_), save);

    ++opened;
    ASSERT_TRUE(waitUntil([&] { return readFile(file_) == fresh && watcherThreads(editor_.pid()) == 1; }, 30s))
        << editor_.output().toStdString();
    QList<QByteArray> expected;
    for (int i = 1; i < c.replies.size(); ++i) expected << uploadBody(save);
    expected << statusBody("close");
    // The "close" report follows the backup and may still be on its way when the new copy opens.
    EXPECT_TRUE(waitForBodies(before + int(expected.size()), 10s));
    EXPECT_EQ(bodies().mid(before), expected);
    EXPECT_EQ(archived(kPassword, kFileName), save);
    ASSERT_TRUE(waitUntil([&] { return fake_.text(file_) == QString::fromUtf8(fresh); }, 20s));

    // Closed again: its backup takes the archive's place, the pending save's archive kept
    // under a dated name.
    const QDateTime written = QFileInfo(archive).lastModified();
    ASSERT_TRUE(server_.route("POST /plugin/upload.php", FakeReply{}));
    ASSERT_TRUE(fake_.close(file_));
    ASSERT_TRUE(waitUntil([&] { return !QFile::exists(folder_); }, 30s)) << editor_.output().toStdString();
    QByteArray kept;
    ASSERT_EQ(runProgram("7z", {"x", "-so", kPassword, zuvo::backup::datedArchivePath(archive, written)}, &kept), 0);
    EXPECT_EQ(kept, save);
    ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 0; }));
  }
}

// The server answers the upload with a redirect: to its login page (an expired session, the
// page itself answering 200) or to another server. Nothing follows it: the upload fails as any
// failed upload does, the user reads the status and its target, neither the page nor the other
// server is asked for anything, and the closed letter's changes are kept in the backup.
class EditorRedirected : public EditorUpload, public ::testing::WithParamInterface<int> {};

TEST_P(EditorRedirected, UploadAnsweredWithARedirectFailsAndGoesNowhereElse) {
  const int status = GetParam();
  FakeDocumentServer elsewhere;
  ASSERT_TRUE(elsewhere.start());
  server_.route("GET /login", FakeReply{.body = "<html>Sign in</html>"});
  const QByteArray location =
      status == 302 ? "/login?next=%2Fplugin%2Fupload.php" : elsewhere.url("/plugin/upload.php").toUtf8();
  openLetter({FakeReply{.status = status, .headers = {{"Location", location}}}});
  const QString shown = status == 302 ? server_.url("/login") : elsewhere.url("/plugin/upload.php");

  saveAt(2s, "content", "the edit");
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 1; }, 20s)) << editor_.output().toStdString();
  EXPECT_EQ(alerts()[0]["message"].toString(),
            QString("An error occurred while uploading document. Error : Request failed: redirected (%1) to %2")
                .arg(status)
                .arg(shown));
  ASSERT_TRUE(fake_.close(file_));
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 2; }, 30s)) << editor_.output().toStdString();
  EXPECT_EQ(alerts()[1]["message"].toString(), "The last changes of " + kFileName + " could not be sent to the server.");
  quiet();
  EXPECT_EQ(bodies(), (QList<QByteArray>{uploadBody("the edit"), uploadBody("the edit"), statusBody("close")}));
  EXPECT_EQ(archived(), "the edit");
  EXPECT_TRUE(server_.requestsTo("/login").isEmpty());
  EXPECT_TRUE(elsewhere.requests().isEmpty());
  EXPECT_FALSE(editor_.output().contains("Upload Completed")) << editor_.output().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Editor, EditorRedirected, ::testing::Values(302, 307),
                         [](const auto& info) { return info.param == 302 ? "ToTheLoginPage" : "ToAnotherServer"; });

// LibreOffice holds the letter (its lock names a profile whose instance answers) and is then
// killed with the lock left behind: while it runs the lock is never touched and the letter
// stays open after its save; once it is gone the letter is closed, the lock kept in the
// backup beside the last save, and "close" reported once. A restarted LibreOffice of the same
// profile does not hold a lock written before it started.
TEST_F(EditorUpload, LockLeftBehindByAKilledLibreOfficeClosesTheLetter) {
  for (const bool restarted : {false, true}) {
    SCOPED_TRACE(restarted ? "restarted" : "killed");
    if (restarted) {
      ASSERT_TRUE(server_.route("GET " + kDocumentPath, FakeReply{.body = kLetter}));
      ASSERT_TRUE(server_.route("POST /plugin/upload.php", {FakeReply{}, FakeReply{}, FakeReply{}}));
      requestLetter();
      ASSERT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 1 && fake_.documents().contains(file_); },
                            30s));
      stored_ = QFileInfo(file_).lastModified().toSecsSinceEpoch();  // the new opening's row
    } else {
      openLetter({FakeReply{}, FakeReply{}, FakeReply{}});
    }
    const int before = int(bodies().size());
    OfficeInstance office;
    ASSERT_TRUE(office.start());
    const QString lock = office.writeLock(file_);  // the fake's lock, now LibreOffice's
    ASSERT_FALSE(lock.isEmpty());
    saveAt(1500ms);
    ASSERT_TRUE(waitForBodies(before + 2)) << editor_.output().toStdString();
    const QByteArray saved = readFile(file_);
    quiet();
    EXPECT_EQ(readFile(lock), office.lockContent()) << "a held lock is left alone";
    EXPECT_EQ(bodies().size(), before + 2);

    office.kill();
    if (restarted) {
      ASSERT_TRUE(office.start());
    }
    ASSERT_TRUE(waitForBodies(before + 3, 15s)) << editor_.output().toStdString();
    quiet();
    EXPECT_EQ(bodies().mid(before), (QList<QByteArray>{uploadBody(saved), statusBody("upload"), statusBody("close")}));
    EXPECT_FALSE(QFile::exists(folder_));
    EXPECT_EQ(archived(kPassword, kFileName), saved);
    EXPECT_EQ(archived(kPassword, ".~lock." + kFileName + "#"), office.lockContent());
    EXPECT_TRUE(waitUntil([&] { return watcherThreads(editor_.pid()) == 0; }));
    EXPECT_TRUE(alerts().isEmpty());
    fake_.close(file_);
  }
}
