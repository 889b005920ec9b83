// The document controller's first steps and opening, in process: the controller runs on its
// own thread as in the editor, against the fake document server and the fake word processor.
#include "common/AAPLFileTreeWatcherThread.h"
#include "platform/core/TestHooks.h"
#include "platform/fs/Paths.h"
#include "editor/GlobalData.h"
#include "editor/PlaceHolderWindowController.h"
#include "editor/ViewControllers/DocumentEditController.h"

#include "common/Log.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QWidget>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <sched.h>
#include <thread>

using zuvo::test::FakeDocumentServer;
using zuvo::test::FakeReply;
using zuvo::test::FakeWordProcessor;
using zuvo::test::readFile;
using zuvo::test::waitUntil;
using zuvo::test::writeFile;

namespace {

const QByteArray kLetter = "Dear <<Name>>,\r\n<<Name>> and <<name>> and <<Name>>. Born <<DOB>>.";

struct Row {
  QString name, modified, token;
};

class DocumentDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog_ = zuvo::test::makeTempDir("alerts") + "/alerts.jsonl";
    zuvo::testhooks::setAlertLogFile(alertLog_);
    qputenv("XDG_DATA_DIRS", zuvo::test::makeTempDir("no-apps").toUtf8());
    zuvo::LogOptions options;
    options.systemLog = false;
    zuvo::setupLog(zuvo::paths::logsFolder(), "com.roza.zuvoeditor", "ZuvoEditor", options);
    GlobalData& g = GlobalData::sharedGlobalData();
    ASSERT_TRUE(QDir().mkpath(g.getDocumentDownloadPath()));
    SQLite::Database db(QFile::encodeName(g.getDatabasePath()).toStdString(),
                        SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    db.exec(zuvo::test::editorDatabaseSchema());
  }
  void TearDown() override { zuvo::testhooks::setAlertLogFile({}); }

  std::shared_ptr<DocumentEditController> controller(const QString& downloadPath, const QString& isNew = "1") {
    auto c = DocumentEditController::create();
    c->download_url = server.url(downloadPath);
    c->placeholder_url = server.url("/placeholders.xml");
    c->upload_url = server.url("/");
    c->is_new_doc = isNew;
    return c;
  }
  // Starts the controller and waits until its document is watched or its log shows the end.
  void runUntil(const std::shared_ptr<DocumentEditController>& c, const std::function<bool()>& done) {
    c->start();
    EXPECT_TRUE(waitUntil(done, std::chrono::seconds(30)));
  }
  static bool watched(const std::shared_ptr<DocumentEditController>& c) {
    return c->fileTreeWatcherThread && c->fileTreeWatcherThread->isExecuting() &&
           c->fileTreeWatcherThread->ignoreOwnChanges();
  }
  QList<QJsonObject> alerts() const { return zuvo::test::readJsonLines(alertLog_); }
  bool alerted(const QString& message, const QString& informative) const {
    for (const QJsonObject& a : alerts())
      if (a["message"].toString() == message && a["informative"].toString() == informative &&
          a["buttons"].toVariant().toStringList() == QStringList{"Ok"})
        return true;
    return false;
  }
  static QString logText() {
    zuvo::flushLog();
    QString all;
    for (const QFileInfo& f : QDir(zuvo::paths::logsFolder()).entryInfoList(QDir::Files))
      all += QString::fromUtf8(readFile(f.filePath()));
    return all;
  }
  static bool logged(const QString& text) { return logText().contains(text); }
  static QString documents() { return GlobalData::sharedGlobalData().getDocumentDownloadPath(); }
  static QList<Row> rows() {
    QList<Row> out;
    SQLite::Database db(QFile::encodeName(GlobalData::sharedGlobalData().getDatabasePath()).toStdString());
    SQLite::Statement q(db, "select name, modified, token from tb_documents");
    while (q.executeStep())
      out << Row{QString::fromStdString(q.getColumn(0).getString()), QString::fromStdString(q.getColumn(1).getString()),
                 QString::fromStdString(q.getColumn(2).getString())};
    return out;
  }

  FakeDocumentServer server;
  QString alertLog_;
};

}  // namespace

TEST_F(DocumentDownload, ListReaderQuirks) {
  const struct {
    const char* name;
    QByteArray list;
    std::optional<PlaceholderDictionary> values;
  } cases[] = {
      {"outermost element is a key", "<list><Name>Ann</Name></list>", PlaceholderDictionary{{"list", ""}, {"Name", "Ann"}}},
      {"bare ampersand", "<l><A>Tom & Jerry &&</A></l>", PlaceholderDictionary{{"l", ""}, {"A", "Tom & Jerry &&"}}},
      {"only &apos; is decoded", "<l><A>O&apos;Brien &amp; &lt;x&gt; &#65;</A></l>",
       PlaceholderDictionary{{"l", ""}, {"A", "O'Brien &amp; &lt;x&gt; &#65;"}}},
      {"line feed becomes CRLF", "<l><A>1 Road\nTown\r\nX</A></l>", PlaceholderDictionary{{"l", ""}, {"A", "1 Road\r\nTown\r\nX"}}},
      {"text after an end tag belongs to that element", "<l><A>x</A>\n<B>y</B></l>",
       PlaceholderDictionary{{"l", ""}, {"A", "\r\n"}, {"B", "y"}}},
      {"last piece wins", "<l><A>x<![CDATA[y]]></A><B>p<!-- c -->q</B></l>",
       PlaceholderDictionary{{"l", ""}, {"A", "y"}, {"B", "q"}}},
      {"last occurrence wins", "<l><A>1</A><A>2</A><B>3</B><B/></l>", PlaceholderDictionary{{"l", ""}, {"A", "2"}, {"B", ""}}},
      {"attributes ignored", "<l v='1'><A k=\"&\">a</A></l>", PlaceholderDictionary{{"l", ""}, {"A", "a"}}},
      {"other words unchanged", "<l><A>  tell \"x\" \\ end  </A></l>", PlaceholderDictionary{{"l", ""}, {"A", "  tell \"x\" \\ end  "}}},
      {"byte above 127", "<l><A>Jos\xc3\xa9</A></l>", std::nullopt},
      {"not xml", "Name=Ann", std::nullopt},
      {"empty", "", std::nullopt},
      {"unclosed", "<l><A>x</A>", std::nullopt},
  };
  for (const auto& c : cases) {
    auto ctl = DocumentEditController::create();  // no download URL: the end of the parse is refused
    const bool parsed = ctl->parsePlaceholderList(c.list);
    ASSERT_EQ(parsed, c.values.has_value()) << c.name;
    if (parsed) {
      EXPECT_EQ(*ctl->placeHolderDic, *c.values) << c.name;
    }
  }
}

TEST_F(DocumentDownload, ListWithEntitiesMakesNoRequest) {
  ASSERT_TRUE(server.start());
  const QByteArray list = "<?xml version='1.0'?>\n<!DOCTYPE l [\n<!ENTITY e SYSTEM '" + server.url("/evil").toUtf8() +
                          "'>\n<!ENTITY % p SYSTEM '" + server.url("/param").toUtf8() + "'>\n%p;\n]>\n<l><a>&e;</a></l>";
  auto ctl = DocumentEditController::create();
  ctl->parsePlaceholderList(list);
  zuvo::test::spin(std::chrono::milliseconds(300));
  EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DocumentDownload, NewDocumentIsFilledRecordedAndWatched) {
  FakeWordProcessor fake({.notifications = true});
  ASSERT_TRUE(fake.start());
  server.route("/placeholders.xml", FakeReply{200, {}, "<list><Name>Ann &amp; \"Bo\"</Name><DOB>1 Jan</DOB><Unused>x</Unused></list>"});
  server.route("/docs/Letter_2024_ABC123.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  auto c = controller("/docs/Letter_2024_ABC123.docx", "0");
  runUntil(c, [&] { return watched(c); });

  const QList<zuvo::test::JournaledRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 2);
  EXPECT_EQ(requests[0].path, "/placeholders.xml");
  EXPECT_EQ(requests[1].path, "/docs/Letter_2024_ABC123.docx");

  const QString file = documents() + "ABC123/Letter_2024_ABC123.docx";
  EXPECT_EQ(readFile(file), kLetter);
  EXPECT_EQ(QDir(documents() + "ABC123").entryList(QDir::Files | QDir::Hidden).size(), 2);  // the file and its lock
  EXPECT_EQ(fake.scripts().size(), 4);  // one per entry, the outermost included
  EXPECT_EQ(fake.text(file), "Dear Ann &amp; \"Bo\",\r\nAnn &amp; \"Bo\" and <<name>> and Ann &amp; \"Bo\". Born 1 Jan.");
  ASSERT_EQ(fake.journal("notify").size(), 1);
  EXPECT_EQ(fake.journal("notify")[0]["summary"].toString(), "Downloading...");
  EXPECT_EQ(fake.journal("notify")[0]["body"].toString(), "Downloading document...");

  const QList<Row> r = rows();
  ASSERT_EQ(r.size(), 1);
  EXPECT_EQ(r[0].name, "Letter_2024_ABC123.docx");
  EXPECT_EQ(r[0].token, "ABC123");
  EXPECT_EQ(r[0].modified, QFileInfo(file).lastModified().toString("yyyy-MM-dd HH:mm:ss"));
  for (const char* m : {"Letter_2024_ABC123.docx : Downloading document completed",
                        "Letter_2024_ABC123.docx : Opening document for editing",
                        "Letter_2024_ABC123.docx : Replacing placeholders started",
                        "Letter_2024_ABC123.docx : Replacing placeholders completed",
                        "Letter_2024_ABC123.docx : Document details inserted into database successfully"})
    EXPECT_TRUE(logged(m)) << m;
  EXPECT_FALSE(logged("Error"));
  EXPECT_TRUE(alerts().isEmpty());
}

TEST_F(DocumentDownload, TemplateOpensTheInsertionWindowAfterFilling) {
  FakeWordProcessor fake;
  ASSERT_TRUE(fake.start());
  server.route("/placeholders.xml", FakeReply{200, {}, "<l><Name>Ann</Name></l>"});
  server.route("/defaults.xml", FakeReply{200, {}, "<l><a>Name</a><b>DOB</b></l>"});
  server.route("/docs/T_T9.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  auto c = controller("/docs/T_T9.docx", "0");
  c->is_template_doc = true;
  c->xml_path = server.url("/defaults.xml");
  runUntil(c, [&] { return watched(c); });
  ASSERT_TRUE(c->placeHolderWindowController);
  QWidget* window = c->placeHolderWindowController->window();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Placeholder");
  EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(c->placeHolderWindowController->placeholderButton->count(), 2);
  EXPECT_EQ(fake.scripts().size(), 2);  // filled first
  EXPECT_EQ(server.requests().last().path, "/defaults.xml");
}

TEST_F(DocumentDownload, NotNewFetchesNoListAndRunsNoScript) {
  FakeWordProcessor fake;
  ASSERT_TRUE(fake.start());
  server.route("/docs/ABC123", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  // Each request of the open letter backs the open copy up first.
  ASSERT_TRUE(QDir().mkpath(GlobalData::sharedGlobalData().getBackupDocumentPath()));
  for (const QString isNew : {"1", "(null)", ""}) {
    auto c = controller("/docs/ABC123", isNew);
    runUntil(c, [&] { return watched(c); });
    EXPECT_FALSE(c->placeHolderDic);
  }
  EXPECT_TRUE(server.requestsTo("/placeholders.xml").isEmpty());
  EXPECT_TRUE(fake.scripts().isEmpty());
  EXPECT_EQ(readFile(documents() + "ABC123/ABC123"), kLetter);
  EXPECT_EQ(rows().size(), 3);
}

TEST_F(DocumentDownload, WordMissingEndsTheDocumentWithAnAlert) {
  ASSERT_TRUE(server.start());
  auto c = controller("/docs/A_X1.docx", "0");
  runUntil(c, [&] { return !alerts().isEmpty(); });
  EXPECT_TRUE(alerted("Microsoft Word application not found", "Install Microsoft Word 2016 or later for Editing Letters."));
  EXPECT_TRUE(logged("Word application not found"));
  zuvo::test::spin(std::chrono::milliseconds(200));
  EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DocumentDownload, OfflineEndsTheDocumentWithAnAlert) {
  FakeWordProcessor fake;
  ASSERT_TRUE(server.start());
  auto c = controller("/docs/A_X1.docx");
  // The controller's thread in a network of its own without even loopback: no route anywhere.
  bool isolated = false;
  std::thread t([&] {
    isolated = ::unshare(CLONE_NEWNET) == 0;
    if (isolated) c->downloadWordDocument();  // alerts go to the alert log without the main loop
  });
  t.join();
  if (!isolated) GTEST_SKIP() << "no network namespace for a thread here";
  EXPECT_TRUE(waitUntil([&] { return alerted("", "The internet connection appears to be offline."); }));
  EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DocumentDownload, FailedListGivesTheAlertAndNoDownload) {
  FakeWordProcessor fake;
  server.route("/list-404.xml", FakeReply{404, {}, ""});
  server.route("/list-latin.xml", FakeReply{200, {}, "<l><A>Jos\xe9</A></l>"});
  server.route("/list-text.xml", FakeReply{200, {}, "Name: Ann"});
  // Well formed, but far longer than any list: refused rather than read and parsed.
  const QString huge = zuvo::test::makeTempDir("list") + "/huge.xml";
  writeFile(huge, "<l><A>" + QByteArray(5 << 20, 'x') + "</A></l>");
  server.route("/list-huge.xml", FakeReply{.bodyFile = huge});
  server.route("/docs/A_X1.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  const QStringList lists{server.url("/list-404.xml"), server.url("/list-latin.xml"), server.url("/list-text.xml"),
                          "http://127.0.0.1:1/list.xml", server.url("/list-huge.xml")};
  int expected = 0;
  for (const QString& list : lists) {
    auto c = controller("/docs/A_X1.docx", "0");
    c->placeholder_url = list;
    runUntil(c, [&] { return alerts().size() > expected; });
    ++expected;
    EXPECT_TRUE(alerted("Error", "Placeholder data parsing failed.")) << list.toStdString();
  }
  zuvo::test::spin(std::chrono::milliseconds(200));
  EXPECT_TRUE(server.requestsTo("/docs/A_X1.docx").isEmpty());
  EXPECT_FALSE(QFileInfo::exists(documents() + "X1"));
}

TEST_F(DocumentDownload, ErrorStatusLeavesNothingUnderTheDocumentsName) {
  FakeWordProcessor fake;
  server.route("/docs/Letter_N1.docx", FakeReply{404, {}, "<html>Not found</html>"});
  server.route("/docs/Letter_N2.docx", FakeReply{500, {}, "oops"});
  ASSERT_TRUE(server.start());
  // N2 is left over from before and cannot be backed up here (no Backup folder): its copy must
  // survive, and nothing is downloaded over it.
  QDir().mkpath(documents() + "N2");
  writeFile(documents() + "N2/Letter_N2.docx", kLetter);
  for (const char* path : {"/docs/Letter_N1.docx", "/docs/Letter_N2.docx"}) {
    auto c = controller(path);
    const QString message = QStringLiteral("Error while downloading document : ");
    const int before = int(logText().count(message));
    runUntil(c, [&] { return logText().count(message) > before; });
    EXPECT_FALSE(c->fileTreeWatcherThread);
  }
  EXPECT_FALSE(QFileInfo::exists(documents() + "N1/Letter_N1.docx"));
  EXPECT_EQ(QDir(documents() + "N1").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList{});
  EXPECT_EQ(readFile(documents() + "N2/Letter_N2.docx"), kLetter);
  EXPECT_EQ(QDir(documents() + "N2").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
            QStringList{"Letter_N2.docx"});
  EXPECT_TRUE(fake.journal("open").isEmpty());
  EXPECT_TRUE(rows().isEmpty());
}

// The letter asked for again while its first copy is open: the second request goes on with the
// open copy as it is.
// Asked for again while it is open: the open copy (edited) goes to the backup, the first
// opening stops watching, and the server's copy is opened in its place.
TEST_F(DocumentDownload, LetterAskedForAgainWhileOpenIsBackedUpAndTheNewCopyOpened) {
  FakeWordProcessor fake;
  ASSERT_TRUE(fake.start());
  server.route("/docs/Letter_K1.docx", FakeReply{200, {}, "new copy"});
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(QDir().mkpath(GlobalData::sharedGlobalData().getBackupDocumentPath()));
  auto first = controller("/docs/Letter_K1.docx");
  runUntil(first, [&] { return watched(first); });
  writeFile(documents() + "K1/Letter_K1.docx", "edited copy");
  auto c = controller("/docs/Letter_K1.docx");
  runUntil(c, [&] { return watched(c); });
  EXPECT_FALSE(first->fileTreeWatcherThread);
  EXPECT_EQ(readFile(documents() + "K1/Letter_K1.docx"), "new copy");
  QByteArray kept;
  EXPECT_EQ(zuvo::test::runProgram("7z", {"x", "-so", "-pKavrel902476",
                                          GlobalData::sharedGlobalData().getBackupDocumentPath() + "/K1.zip",
                                          "Letter_K1.docx"},
                                   &kept),
            0);
  EXPECT_EQ(kept, "edited copy");
  ASSERT_TRUE(waitUntil([&] { return fake.journal("open").size() == 2; }));
  EXPECT_EQ(fake.journal("open")[1]["path"].toString(), documents() + "K1/Letter_K1.docx");
  EXPECT_EQ(rows().size(), 2);
  c->stopWatchingFolder();
}

TEST_F(DocumentDownload, FolderThatCannotBeMadeIsAFailedDownload) {
  FakeWordProcessor fake;
  server.route("/docs/Letter_F1.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  writeFile(documents() + "F1", "a file where the folder belongs");
  auto c = controller("/docs/Letter_F1.docx");
  runUntil(c, [&] { return logged("Error while downloading document : "); });
  EXPECT_TRUE(logged("Error creating Download Directory: "));
  EXPECT_EQ(readFile(documents() + "F1"), "a file where the folder belongs");
  EXPECT_FALSE(c->fileTreeWatcherThread);
  EXPECT_TRUE(fake.journal("open").isEmpty());
  EXPECT_TRUE(rows().isEmpty());
}

TEST_F(DocumentDownload, UnsafeNamesAreRefusedAndNothingIsWrittenOutside) {
  FakeWordProcessor fake;
  server.setDefault(FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  const QString data = QFileInfo(documents()).dir().absolutePath();
  const QStringList before = QDir(data).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
  const char* paths[] = {"/docs/..", "/docs/%2E%2E", "/docs/Letter_..%2F..%2FEvil.docx", "/docs/Letter_.docx",
                         "/docs/Letter_A%0AB.docx", "/docs/Letter_%00.docx", "/docs/x%2F..%2F..%2Fy_Z.docx", "/"};
  int count = 0;
  for (const char* path : paths) {
    auto c = controller(path);
    runUntil(c, [&] { return logText().count("Error while downloading document : ") > count; });
    ++count;
    EXPECT_FALSE(c->fileTreeWatcherThread) << path;
  }
  EXPECT_TRUE(server.requests().isEmpty());
  EXPECT_EQ(QDir(data).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), before);
  EXPECT_TRUE(QDir(documents()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
}

TEST_F(DocumentDownload, FailingScriptsAreLoggedPerEntryAndTheRestFollows) {
  FakeWordProcessor fake;
  ASSERT_TRUE(fake.start());
  fake.setFailScripts(true);
  server.route("/placeholders.xml", FakeReply{200, {}, "<l><Name>Ann</Name></l>"});
  server.route("/docs/Letter_S1.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  auto c = controller("/docs/Letter_S1.docx", "0");
  runUntil(c, [&] { return watched(c); });
  EXPECT_EQ(logText().count("Letter_S1.docx : Error occurred while replacing placeholders"), 2);
  EXPECT_TRUE(logged("Letter_S1.docx : Replacing placeholders completed"));
  EXPECT_EQ(rows().size(), 1);
}

// A row that cannot be written never keeps the folder from being watched.
TEST_F(DocumentDownload, FailedInsertStillWatchesAndMissingFileNoRow) {
  FakeWordProcessor fake;
  ASSERT_TRUE(fake.start());
  server.route("/docs/Letter_D1.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  QFile::remove(GlobalData::sharedGlobalData().getDatabasePath());
  auto c = controller("/docs/Letter_D1.docx");
  runUntil(c, [&] { return logged("Error while inserting document details into database"); });
  EXPECT_TRUE(zuvo::test::waitUntil([&] { return watched(c); }));
  // The alert is shown from the main thread's queue, possibly after the watcher started.
  EXPECT_TRUE(zuvo::test::waitUntil([&] { return !alerts().isEmpty(); }));
  EXPECT_EQ(alerts().size(), 1);
  EXPECT_FALSE(QFileInfo::exists(GlobalData::sharedGlobalData().getDatabasePath()));  // not made empty
  c->stopWatchingFolder();

  // A record whose file is gone: no row, nothing logged, still watched.
  auto d = DocumentEditController::create();
  auto info = std::make_shared<DocInfo>();
  info->fileName = "Gone_G1.docx";
  info->token = "G1";
  info->destinationFolderPath = documents() + "G1";
  info->destinationFilePath = documents() + "G1/Gone_G1.docx";
  info->is_new_doc = "1";
  QDir().mkpath(info->destinationFolderPath);
  d->downloadDidFinish(info);
  EXPECT_TRUE(watched(d));
  EXPECT_EQ(d->fileTreeWatcherThread->paths(), QStringList{info->destinationFolderPath});
  EXPECT_FALSE(logged("Gone_G1.docx : Document details inserted"));
  d->stopWatchingFolder();
}
