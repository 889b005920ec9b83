// The real ZuvoEditor under a temporary home, reached through the session bus.
#include "editor/BackupArchive.h"
#include "support/EditorProcess.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

using namespace zuvo::test;

namespace {

QString dataPath(const QString& relative) { return editorDataFolder() + "/" + relative; }
const QString kDocuments = "ZuvoEditor/Documents";
const QString kDatabase = "ZuvoEditor/ZuvoEditor.sqlite";

bool isDir(const QString& relative) { return QFileInfo(dataPath(relative)).isDir(); }

// A DownloadDoc notification whose log line marks that everything posted before it was handled.
void postMarker(EditorProcess& editor, const QString& name) {
  EditorProcess::post({{"action", "DownloadDoc"}, {"download_url", "http://127.0.0.1/docs/" + name}});
  ASSERT_TRUE(editor.waitForOutput(name + " : Downloading document started")) << editor.output().toStdString();
}

}  // namespace

TEST(EditorProgram, StartupMakesFoldersAndAWritableDatabase) {
  EditorProcess editor;
  ASSERT_TRUE(editor.start());
  ASSERT_TRUE(waitUntil([] { return QFileInfo::exists(dataPath(kDatabase)); }));
  for (const QString& folder : {kDocuments, QString("ZuvoEditor/Backup"), QString("tmp")})
    EXPECT_TRUE(isDir(folder)) << folder.toStdString();

  SQLite::Database db(dataPath(kDatabase).toStdString(), SQLite::OPEN_READWRITE);
  db.exec("insert into tb_documents(name,modified,token) values ('a.docx','2026-01-01 10:00:00','T')");
  db.exec("UPDATE tb_documents SET uploaded = '2026-01-01 10:00:01 +0000' WHERE name = 'a.docx'");
  SQLite::Statement q(db, "select name, modified, token, uploaded from tb_documents");
  ASSERT_TRUE(q.executeStep());
  EXPECT_EQ(q.getColumn("uploaded").getString(), "2026-01-01 10:00:01 +0000");
}

TEST(EditorProgram, DispatchesOnlyExactActionsAndObject) {
  EditorProcess editor;
  ASSERT_TRUE(editor.start());
  ASSERT_TRUE(waitUntil([] { return isDir("tmp"); }));

  // Posted from another process, as the bridge does.
  const int rc = QProcess::execute("gdbus", {"emit", "--session", "--object-path", "/com/roza/zuvoeditor",
      "--signal", "com.roza.zuvoeditor.zuvoeditor", "'com.roza.zuvoeditor'",
      "{'action': <'DownloadDoc'>, 'download_url': <'http://127.0.0.1/a/Letter_7F3A.docx'>, 'is_new_doc': <0>}"});
  ASSERT_EQ(rc, 0);
  EXPECT_TRUE(editor.waitForOutput("Letter_7F3A.docx : Downloading document started"));

  EditorProcess::post({{"action", "Template"}, {"download_url", "http://127.0.0.1/t/Tmpl_1.dotx"}});
  EXPECT_TRUE(editor.waitForOutput("Tmpl_1.dotx : Downloading document started"));

  ASSERT_TRUE(writeFile(dataPath("tmp/keep.pdf"), "x"));
  const struct { const char* action; const char* object; } ignored[] = {
      {"downloaddoc", "com.roza.zuvoeditor"}, {"DOWNLOADDOC", "com.roza.zuvoeditor"},
      {"template", "com.roza.zuvoeditor"},    {"printdoc", "com.roza.zuvoeditor"},
      {"PRINTDOC", "com.roza.zuvoeditor"},    {"DownloadDoc ", "com.roza.zuvoeditor"},
      {"DownloadDoc", "com.roza.zuvoEditor"}, {"PrintDoc", "com.roza.other"},
  };
  for (const auto& c : ignored)
    EditorProcess::post({{"action", c.action}, {"download_url", QString("http://127.0.0.1/x/ignored_%1.docx").arg(c.action)}},
                        c.object);
  EditorProcess::post({{"download_url", "http://127.0.0.1/x/ignored_none.docx"}});
  EditorProcess::post({{"action", 7}, {"download_url", "http://127.0.0.1/x/ignored_number.docx"}});
  postMarker(editor, "marker_1.docx");
  EXPECT_FALSE(editor.output().contains("ignored_")) << editor.output().toStdString();
  EXPECT_TRUE(QFileInfo::exists(dataPath("tmp/keep.pdf")));

  // The exact "PrintDoc" empties the temporary folder and makes it again.
  EditorProcess::post({{"action", "PrintDoc"}, {"file_path", QStringList{"http://127.0.0.1/p.docx"}}});
  EXPECT_TRUE(waitUntil([] { return !QFileInfo::exists(dataPath("tmp/keep.pdf")) && isDir("tmp"); }));
  EXPECT_TRUE(editor.isRunning());
}

TEST(EditorProgram, NextNotificationRemakesMissingFoldersAndDatabase) {
  EditorProcess editor;
  ASSERT_TRUE(editor.start());
  ASSERT_TRUE(waitUntil([] { return QFileInfo::exists(dataPath(kDatabase)); }));
  ASSERT_TRUE(QDir(dataPath("ZuvoEditor")).removeRecursively());
  ASSERT_TRUE(QDir(dataPath("tmp")).removeRecursively());

  // Any notification, also one with an unknown action, checks the folders first.
  EditorProcess::post({{"action", "Unknown"}});
  EXPECT_TRUE(waitUntil([] { return QFileInfo::exists(dataPath(kDatabase)); }));
  for (const QString& folder : {kDocuments, QString("ZuvoEditor/Backup"), QString("tmp")})
    EXPECT_TRUE(isDir(folder)) << folder.toStdString();
  SQLite::Database db(dataPath(kDatabase).toStdString(), SQLite::OPEN_READONLY);
  EXPECT_TRUE(db.tableExists("tb_documents"));
}

TEST(EditorProgram, ExistingDatabaseIsLeftByteForByte) {
  for (const QByteArray& content : {QByteArray(), QByteArray("not a database\n")}) {
    ASSERT_TRUE(QDir().mkpath(dataPath(kDocuments)));
    ASSERT_TRUE(writeFile(dataPath(kDatabase), content));
    EditorProcess editor;
    ASSERT_TRUE(editor.start());
    postMarker(editor, "marker_db.docx");
    EXPECT_EQ(readFile(dataPath(kDatabase)), content);
    EXPECT_TRUE(isDir("tmp"));
  }
}

TEST(EditorProgram, FileInTheWayOfTheEditorFolderSkipsTheLaterSteps) {
  ASSERT_TRUE(QDir().mkpath(editorDataFolder()));
  ASSERT_TRUE(writeFile(dataPath("ZuvoEditor"), "in the way"));
  EditorProcess editor;
  ASSERT_TRUE(editor.start());
  EXPECT_TRUE(editor.waitForOutput("Error creating Download Directory: "));
  postMarker(editor, "marker_way.docx");
  // Once at start-up and once for the notification; the documents still go ahead.
  EXPECT_EQ(editor.output().count("Error creating Download Directory: "), 2);
  EXPECT_FALSE(QFileInfo::exists(dataPath("tmp")));
  EXPECT_EQ(readFile(dataPath("ZuvoEditor")), "in the way");
}

TEST(EditorProgram, FailedDatabaseCopyLeavesNoFileAndIsTriedAgain) {
  ASSERT_TRUE(QDir().mkpath(dataPath(kDocuments)));
  // A dangling link: nothing exists at the path, and the copy cannot write through it.
  ASSERT_TRUE(QFile::link(testRoot() + "/missing-folder/db.sqlite", dataPath(kDatabase)));
  EditorProcess editor;
  ASSERT_TRUE(editor.start());
  EXPECT_TRUE(editor.waitForOutput("Error while creating database : "));
  EXPECT_FALSE(QFileInfo::exists(testRoot() + "/missing-folder"));

  ASSERT_TRUE(QFile::remove(dataPath(kDatabase)));
  EditorProcess::post({{"action", "Unknown"}});
  ASSERT_TRUE(waitUntil([] { return QFileInfo(dataPath(kDatabase)).isFile(); }));
  SQLite::Database db(dataPath(kDatabase).toStdString(), SQLite::OPEN_READONLY);
  EXPECT_TRUE(db.tableExists("tb_documents"));
  EXPECT_TRUE(QDir(dataPath("ZuvoEditor")).entryList({"*.sqlite.*"}, QDir::Files).isEmpty());
}

// A backup interrupted by a kill leaves its temporary file beside the archives; the next
// start removes it and nothing else.
TEST(EditorProgram, StartRemovesTemporaryFilesOfInterruptedBackups) {
  const QString backup = dataPath("ZuvoEditor/Backup");
  ASSERT_TRUE(QDir().mkpath(backup + "/T2"));
  ASSERT_TRUE(QDir().mkpath(backup + "/src"));
  ASSERT_TRUE(writeFile(backup + "/T2/fallback.docx", "moved folder"));
  ASSERT_TRUE(writeFile(backup + "/src/doc.docx", "letter"));
  ASSERT_TRUE(zuvo::backup::writeFolderArchive(backup + "/src", backup + "/T1.zip", "pw"));
  ASSERT_TRUE(QDir(backup + "/src").removeRecursively());
  const QByteArray archive = readFile(backup + "/T1.zip");
  ASSERT_TRUE(QFile::copy(backup + "/T1.zip", backup + "/T1-20260101-120000.zip"));
  ASSERT_TRUE(writeFile(backup + "/T1.zip.a8Xk2Q", archive.left(archive.size() / 2)));  // killed while writing
  ASSERT_TRUE(writeFile(backup + "/T1.zip.a8Xk2Q.r740md", archive.left(100)));  // libzip's, killed in zip_close
  ASSERT_TRUE(writeFile(backup + "/T3.zip.000000", ""));                                // killed before writing
  ASSERT_TRUE(writeFile(backup + "/T4.zip.old", "not ours"));
  ASSERT_TRUE(writeFile(backup + "/T4.zip.abcdef.gh", "not ours either"));
  ASSERT_TRUE(QFile::link(backup + "/T1.zip", backup + "/T5.zip.Zz9Zz9"));

  EditorProcess editor;
  ASSERT_TRUE(editor.start());
  EXPECT_TRUE(editor.waitForOutput("Removed the unfinished backup T1.zip.a8Xk2Q"));
  postMarker(editor, "marker_backup.docx");
  EXPECT_EQ(QDir(backup).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
            (QStringList{"T1-20260101-120000.zip", "T1.zip", "T2", "T4.zip.abcdef.gh", "T4.zip.old", "T5.zip.Zz9Zz9"}));
  EXPECT_EQ(readFile(backup + "/T1.zip"), archive);
  EXPECT_EQ(readFile(backup + "/T1-20260101-120000.zip"), archive);
  EXPECT_EQ(readFile(backup + "/T2/fallback.docx"), "moved folder");
  EXPECT_EQ(runProgram("7z", {"t", "-ppw", backup + "/T1.zip"}), 0);
}

// One editor per session: a second start ends at once with a log line, and the running one
// goes on with its letter (two would both upload and back it up).
TEST(EditorProgram, ASecondEditorEndsAtOnceAndTheFirstKeepsItsLetter) {
  qputenv("XDG_DATA_DIRS", QFile::encodeName(makeTempDir("no-apps")));
  FakeWordProcessor word({.lock = "office"});
  FakeDocumentServer server;
  server.route("GET /docs/Brief_XYZ789.docx", FakeReply{.body = "as sent"});
  server.route("POST /plugin/upload.php", FakeReply{});
  ASSERT_TRUE(word.start());
  ASSERT_TRUE(server.start());
  EditorProcess first;
  ASSERT_TRUE(first.start());
  EditorProcess::post({{"action", "DownloadDoc"}, {"download_url", server.url("/docs/Brief_XYZ789.docx")},
                       {"upload_url", server.url("/")}, {"is_new_doc", "1"}});
  const QString file = dataPath(kDocuments + "/XYZ789/Brief_XYZ789.docx");
  ASSERT_TRUE(waitUntil([&] { return word.documents().contains(file); }, std::chrono::seconds(30)));

  EditorProcess second;
  EXPECT_FALSE(second.start());
  EXPECT_TRUE(second.output().contains("ZuvoEditor is already running in this session; this copy ends"))
      << second.output().toStdString();
  EXPECT_TRUE(first.isRunning());

  spin(std::chrono::milliseconds(20));
  ASSERT_TRUE(writeFile(file, "edited"));
  // The save and its "upload" report.
  ASSERT_TRUE(waitUntil([&] { return server.requestsTo("/plugin/upload.php").size() >= 2; }, std::chrono::seconds(30)))
      << first.output().toStdString();
  ASSERT_TRUE(word.close(file));
  ASSERT_TRUE(waitUntil([&] { return !QFileInfo::exists(QFileInfo(file).path()); }, std::chrono::seconds(30)));
  // Uploaded once and closed once: no second editor took part.
  auto bodies = [&server] {
    QList<QByteArray> all;
    for (const auto& r : server.requestsTo("/plugin/upload.php")) all << r.body.left(60);
    return all;
  };
  ASSERT_TRUE(waitUntil([&] { return bodies().size() >= 3; })) << bodies().join(" | ").toStdString()
                                                               << first.output().toStdString();
  // The first editor has ended the letter and the second copy is gone: a further upload
  // would have to come now, from either.
  EXPECT_TRUE(first.waitForOutput("Brief_XYZ789.docx : Sending message to server with status close"))
      << first.output().toStdString();
  EXPECT_TRUE(waitUntil([&] { return !second.isRunning(); }));
  spin(std::chrono::milliseconds(500));
  EXPECT_EQ(bodies().size(), 3) << bodies().join(" | ").toStdString();
  EXPECT_EQ(QDir(dataPath("ZuvoEditor/Backup")).entryList(QDir::Files), QStringList{"XYZ789.zip"});
}

// The installer's request to finish is answered at once when no letter is open, and the
// editor takes no new letter afterwards (it is about to be stopped).
TEST(EditorProgram, FinishIsAnsweredAndLaterRequestsAreNotTaken) {
  EditorProcess editor;
  ASSERT_TRUE(editor.start());
  QByteArray out, err;
  ASSERT_EQ(runProgram("gdbus", {"call", "--session", "--dest", "com.roza.zuvoeditor", "--object-path",
                                 "/com/roza/zuvoeditor", "--method", "com.roza.EditorSession.Finish", "--timeout", "10"},
                       &out, &err),
            0)
      << err.toStdString();
  EXPECT_TRUE(editor.waitForOutput("Finished: every letter's last save has been sent or tried"));
  EditorProcess::post({{"action", "DownloadDoc"}, {"download_url", "http://127.0.0.1/docs/Late_L1.docx"}});
  EXPECT_TRUE(editor.waitForOutput("A request came while the plug-in is being removed; not taken"));
  EXPECT_FALSE(editor.output().contains("Late_L1.docx : Downloading document started"));
}
