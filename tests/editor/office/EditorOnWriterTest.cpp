// ZuvoEditor on the real LibreOffice Writer through ZuvoWriterBridge: a letter from the
// notification to its backup, saves made in LibreOffice as the user's Ctrl+S makes them, and
// what happens when LibreOffice dies, cannot start or stops answering.
#include "editor/GlobalData.h"

#include "support/EditorProcess.h"
#include "support/FakeDocumentServer.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"
#include "support/WriterSession.h"
#include "editor/upload/UploadTestData.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <csignal>

using namespace zuvo::test;
using namespace upload_test;
using namespace std::chrono_literals;

namespace {

const QByteArray kPassword = "-pKavrel902476";
const QByteArray kPlaceholders = "<letter><Name>Ann Smith</Name><City>Bern & Thun</City></letter>";

class EditorOnWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog_ = makeTempDir("alerts") + "/alerts.jsonl";
    editor_.environment().insert("ZUVO_ALERT_LOG", alertLog_);
    editor_.environment().insert("ZUVO_OFFICE_HEADLESS", "1");
    editor_.environment().insert("XDG_DATA_DIRS", makeTempDir("no-apps"));
    qputenv("XDG_DATA_DIRS", editor_.environment().value("XDG_DATA_DIRS").toUtf8());
    letters_ = makeTempDir("letters");
    server_.route("POST /plugin/upload.php", QList<FakeReply>(40, FakeReply{}));
    server_.route("GET /ph.xml", FakeReply{.body = kPlaceholders});
  }
  void TearDown() override {
    if (const qint64 pid = officePid()) ::kill(pid_t(pid), SIGKILL);
  }

  static void installEntry(const QString& tryExec = {}) { ASSERT_TRUE(installWriterEntry(tryExec)); }
  void startAll() {
    installEntry();
    ASSERT_TRUE(server_.start());
    ASSERT_TRUE(editor_.start());
  }

  static QString folderOf(const QString& token) {
    return GlobalData::sharedGlobalData().getDocumentDownloadPath() + token;
  }
  static QString lockOf(const QString& file) {
    const QFileInfo f(file);
    return f.path() + "/.~lock." + f.fileName() + "#";
  }
  // Serves the letter and asks for it, its placeholders filled.
  QString request(const QString& name, const QByteArray& content) {
    server_.route("GET /docs/" + name, FakeReply{.body = content});
    EditorProcess::post({{"action", "DownloadDoc"},
                         {"download_url", server_.url("/docs/" + name)},
                         {"upload_url", server_.url("/")},
                         {"placeholder_url", server_.url("/ph.xml")},
                         {"is_new_doc", "0"}});
    return folderOf(QFileInfo(name).completeBaseName().section('_', -1)) + "/" + name;
  }

  static int office(const QStringList& args, QByteArray* out = nullptr) { return officeUser(args, out); }
  QString textIn(const QString& file) const {
    QByteArray out;
    return office({"text", file}, &out) == 0 ? QString::fromUtf8(out) : QString();
  }
  // Open in LibreOffice with its placeholders filled.
  bool waitFilled(const QString& file) {
    return waitUntil([&] { return QFile::exists(lockOf(file)) && textIn(file).contains("Dear Ann Smith,"); }, 90s);
  }

  QList<QByteArray> bodies() const {
    QList<QByteArray> out;
    for (const auto& r : server_.requestsTo("/plugin/upload.php")) out << r.body;
    return out;
  }
  bool waitForBodies(int n, std::chrono::milliseconds t = 30s) const {
    return waitUntil([&] { return bodies().size() >= n; }, t);
  }
  QByteArray archived(const QString& token, const QString& entry = {}) const {
    QByteArray out;
    QStringList args{"x", "-so", kPassword,
                     QDir::cleanPath(GlobalData::sharedGlobalData().getBackupDocumentPath()) + "/" + token + ".zip"};
    if (!entry.isEmpty()) args << entry;
    return runProgram("7z", args, &out) == 0 ? out : "<7z failed>";
  }
  QStringList archiveEntries(const QString& token) const {
    QByteArray listing;
    runProgram("7z", {"l", "-slt", kPassword,
                      QDir::cleanPath(GlobalData::sharedGlobalData().getBackupDocumentPath()) + "/" + token + ".zip"},
               &listing);
    QStringList paths;
    for (const QByteArray& line : listing.split('\n'))
      if (line.startsWith("Path = ")) paths << QString::fromUtf8(line.mid(7));
    return paths.mid(1);  // the first is the archive itself
  }
  QByteArray makeDocx(const QString& name) const {
    const QString path = letters_ + "/" + name;
    // "Dear <<Name>>," with the tag split across a plain and a bold run; more in the table,
    // header and footer.
    runProgram("/usr/bin/python3", {sourcePath("tests/writer_bridge/make_letter.py"), path, "Dear <<Na|me>>,",
                                    "Greetings from <<City>>."});
    return readFile(path);
  }

  FakeDocumentServer server_;
  EditorProcess editor_;
  QString alertLog_, letters_;
};

}  // namespace

// Each format: opened in LibreOffice with its placeholders filled, a save made there goes up
// byte for byte with its "upload" report, and closing the window backs the letter up and
// reports "close" once.
TEST_F(EditorOnWriter, LettersGoTheWholeRoadInEveryFormat) {
  startAll();
  const QByteArray docx = makeDocx("Brief_DOCX1.docx");
  struct Case {
    QString name, filter;
  } cases[] = {{"Brief_DOCX1.docx", ""},
               {"Brief_DOC1.doc", "MS Word 97"},
               {"Brief_ODT1.odt", "writer8"},
               {"Brief_RTF1.rtf", "Rich Text Format"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.toStdString());
    QByteArray content = docx;
    if (!c.filter.isEmpty()) {
      // Made by the same LibreOffice from the first letter.
      const QString made = letters_ + "/" + c.name;
      ASSERT_EQ(office({"convert", letters_ + "/Brief_DOCX1.docx", made, c.filter}), 0);
      content = readFile(made);
    }
    const int before = int(bodies().size());
    const QString file = request(c.name, content);
    const QString token = QFileInfo(file).completeBaseName().section('_', -1);
    ASSERT_TRUE(waitFilled(file)) << editor_.output().toStdString();
    const QString text = textIn(file);
    EXPECT_TRUE(text.contains("Greetings from Bern & Thun.")) << text.toStdString();
    EXPECT_FALSE(text.contains("<<")) << text.toStdString();

    ASSERT_EQ(office({"save", file}), 0);
    ASSERT_TRUE(waitForBodies(before + 2)) << editor_.output().toStdString();
    const QByteArray saved = readFile(file);
    EXPECT_NE(saved, content);
    EXPECT_EQ(bodies().mid(before), (QList<QByteArray>{uploadBody(saved, c.name), statusBody("upload", token, c.name)}));

    ASSERT_EQ(office({"close", file}), 0);
    ASSERT_TRUE(waitForBodies(before + 3)) << editor_.output().toStdString();
    EXPECT_EQ(bodies().last(), statusBody("close", token, c.name));
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(folderOf(token)); }));
    EXPECT_EQ(archiveEntries(token), QStringList{c.name});
    EXPECT_EQ(archived(token), saved);
  }
  spin(2500ms);
  EXPECT_EQ(bodies().size(), 3 * int(std::size(cases))) << "one upload and one report per save, one close each";
  EXPECT_TRUE(readJsonLines(alertLog_).isEmpty());
}

// LibreOffice is killed while a letter is open: its lock stays, and once the editor sees that
// nothing holds it any more the letter is closed with its last save and lock in the backup.
// The next letter starts LibreOffice anew.
TEST_F(EditorOnWriter, LetterOfAKilledLibreOfficeIsClosedWithItsLastSave) {
  startAll();
  const QString file = request("Brief_KILL1.docx", makeDocx("Brief_KILL1.docx"));
  ASSERT_TRUE(waitFilled(file)) << editor_.output().toStdString();
  ASSERT_EQ(office({"save", file}), 0);
  ASSERT_TRUE(waitForBodies(2)) << editor_.output().toStdString();
  const QByteArray saved = readFile(file);
  EXPECT_EQ(bodies()[0], uploadBody(saved, "Brief_KILL1.docx"));

  const qint64 pid = officePid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid_t(pid), SIGKILL), 0);
  ASSERT_TRUE(waitForBodies(3, 20s)) << editor_.output().toStdString();
  EXPECT_EQ(bodies()[2], statusBody("close", "KILL1", "Brief_KILL1.docx"));
  EXPECT_FALSE(QFile::exists(folderOf("KILL1")));
  EXPECT_EQ(archived("KILL1", "Brief_KILL1.docx"), saved);
  EXPECT_TRUE(archiveEntries("KILL1").contains(".~lock.Brief_KILL1.docx#"));

  const QString next = request("Brief_NEXT1.docx", makeDocx("Brief_NEXT1.docx"));
  ASSERT_TRUE(waitFilled(next)) << editor_.output().toStdString();
  spin(2500ms);
  EXPECT_EQ(bodies().size(), 3);
  EXPECT_TRUE(QFile::exists(next)) << "the new LibreOffice's letter stays open";
}

// LibreOffice missing, unable to start (no display) or stopped: the editor's alert or its
// logged script errors, within the bounds of its waits, and a letter it could not show is
// neither uploaded nor reported. A stopped LibreOffice that goes on again serves the next save.
TEST_F(EditorOnWriter, MissingFailingAndHangingLibreOfficeNeverHoldUpTheEditor) {
  {
    SCOPED_TRACE("not installed");
    installEntry("/nonexistent/soffice");
    ASSERT_TRUE(server_.start());
    ASSERT_TRUE(editor_.start());
    request("Brief_NONE1.docx", makeDocx("Brief_NONE1.docx"));
    ASSERT_TRUE(waitUntil([&] { return !readJsonLines(alertLog_).isEmpty(); }, 20s)) << editor_.output().toStdString();
    EXPECT_EQ(readJsonLines(alertLog_)[0]["message"].toString(), "Microsoft Word application not found");
    EXPECT_FALSE(QFile::exists(folderOf("NONE1")));
    editor_.stop();
  }
  {
    SCOPED_TRACE("no display");
    installEntry();
    editor_.environment().remove("ZUVO_OFFICE_HEADLESS");
    editor_.environment().insert("DISPLAY", ":250");
    editor_.environment().insert("SAL_USE_VCLPLUGIN", "gen");  // no fallback without a display
    editor_.environment().insert("ZUVO_OFFICE_TIMEOUT_MS", "5000");
    ASSERT_TRUE(editor_.start());
    const QString file = request("Brief_NODISP1.docx", makeDocx("Brief_NODISP1.docx"));
    ASSERT_TRUE(editor_.waitForOutput("Brief_NODISP1.docx : Replacing placeholders completed", 90s))
        << editor_.output().toStdString();
    EXPECT_TRUE(editor_.output().contains("Brief_NODISP1.docx : Error occurred while replacing placeholders"))
        << editor_.output().toStdString();
    spin(3s);
    EXPECT_TRUE(bodies().isEmpty());
    EXPECT_EQ(readFile(file), readFile(letters_ + "/Brief_NODISP1.docx")) << "kept as downloaded";
    editor_.stop();
    stopWriterBridge();
  }
  {
    SCOPED_TRACE("stopped");
    editor_.environment().insert("ZUVO_OFFICE_HEADLESS", "1");
    editor_.environment().insert("ZUVO_OFFICE_TIMEOUT_MS", "15000");  // above a cold start
    editor_.environment().remove("DISPLAY");
    editor_.environment().remove("SAL_USE_VCLPLUGIN");
    ASSERT_TRUE(editor_.start());
    const QString first = request("Brief_RUN1.docx", makeDocx("Brief_RUN1.docx"));
    ASSERT_TRUE(waitFilled(first)) << editor_.output().toStdString();
    const qint64 pid = officePid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid_t(pid), SIGSTOP), 0);
    request("Brief_HANG1.docx", makeDocx("Brief_HANG1.docx"));
    // Two placeholders, each script bounded by the bridge.
    ASSERT_TRUE(editor_.waitForOutput("Brief_HANG1.docx : Replacing placeholders completed", 60s))
        << editor_.output().toStdString();
    EXPECT_TRUE(editor_.output().contains("Brief_HANG1.docx : Error occurred while replacing placeholders"));
    // A stopped LibreOffice still holds its letter: it is not closed under it.
    EXPECT_TRUE(QFile::exists(first));
    EXPECT_TRUE(bodies().isEmpty());
    ::kill(pid_t(pid), SIGCONT);
  }
}

// The same letter asked for again while it is open in LibreOffice: the window shows the
// server's new copy, the first opening's save is kept in the backup, and a save of the new
// copy goes up once.
TEST_F(EditorOnWriter, LetterRequestedAgainWhileOpenShowsTheServersNewCopy) {
  startAll();
  const QString file = request("Brief_AGAIN1.docx", makeDocx("Brief_AGAIN1.docx"));
  ASSERT_TRUE(waitFilled(file)) << editor_.output().toStdString();
  ASSERT_EQ(office({"save", file}), 0);
  ASSERT_TRUE(waitForBodies(2)) << editor_.output().toStdString();
  const QByteArray firstSave = readFile(file);

  runProgram("/usr/bin/python3", {sourcePath("tests/writer_bridge/make_letter.py"), letters_ + "/new.docx",
                                  "Dear <<Name>>, the revised letter.", "From <<City>>."});
  request("Brief_AGAIN1.docx", readFile(letters_ + "/new.docx"));
  ASSERT_TRUE(waitUntil([&] { return textIn(file).contains("Dear Ann Smith, the revised letter."); }, 60s))
      << editor_.output().toStdString() << textIn(file).toStdString();
  EXPECT_EQ(archived("AGAIN1", "Brief_AGAIN1.docx"), firstSave);

  const int before = int(bodies().size());
  ASSERT_EQ(office({"save", file}), 0);
  ASSERT_TRUE(waitForBodies(before + 2)) << editor_.output().toStdString();
  spin(3s);
  EXPECT_EQ(bodies().mid(before), (QList<QByteArray>{uploadBody(readFile(file), "Brief_AGAIN1.docx"),
                                                     statusBody("upload", "AGAIN1", "Brief_AGAIN1.docx")}));
  ASSERT_EQ(office({"close", file}), 0);
  ASSERT_TRUE(waitForBodies(before + 3)) << editor_.output().toStdString();
  EXPECT_EQ(bodies().last(), statusBody("close", "AGAIN1", "Brief_AGAIN1.docx"));
}

// A print list printed by the editor through the bridge while a letter is open in LibreOffice:
// one job per document on the private printer, in the order their downloads completed, each
// holding its letter; the letter stays open.
TEST_F(EditorOnWriter, PrintListGoesToThePrinterInOrderBesideAnOpenLetter) {
  if (::geteuid() != 0) GTEST_SKIP() << "the private CUPS needs root";
  const QString cups = makeTempDir("cups");
  const QString fixture = sourcePath("tests/fixtures/private_cups.py");
  QByteArray out, err;
  ASSERT_EQ(runProgram("/usr/bin/python3", {fixture, "start", cups}, &out, &err), 0) << err.toStdString();
  struct StopCups {
    QString fixture, dir;
    ~StopCups() { runProgram("/usr/bin/python3", {fixture, "stop", dir}); }
  } stop{fixture, cups};
  editor_.environment().insert("CUPS_SERVER", QString::fromUtf8(out.trimmed()));
  startAll();
  const QString open = request("Brief_OPEN1.docx", makeDocx("Brief_OPEN1.docx"));
  ASSERT_TRUE(waitFilled(open)) << editor_.output().toStdString();

  // Listed charlie, alpha, bravo; downloaded alpha, bravo, charlie.
  const QStringList names{"alpha", "bravo", "charlie"};
  const QMap<QString, double> delays{{"charlie", 2.0}, {"alpha", 0}, {"bravo", 1.0}};
  QStringList urls;
  for (const QString n : {"charlie", "alpha", "bravo"}) {
    const QString path = letters_ + "/" + n + ".docx";
    ASSERT_EQ(runProgram("/usr/bin/python3", {sourcePath("tests/writer_bridge/make_letter.py"), path, "Letter " + n}), 0);
    server_.route("GET /print/" + n + ".docx", FakeReply{.body = readFile(path), .delaySeconds = delays[n]});
    urls << server_.url("/print/" + n + ".docx");
  }
  EditorProcess::post({{"action", "PrintDoc"}, {"file_path", urls}});
  QList<QJsonObject> jobs;
  const auto readJobs = [&] {
    jobs.clear();
    runProgram("/usr/bin/python3", {fixture, "jobs", cups}, &out);
    for (const QByteArray& line : out.split('\n'))
      if (!line.isEmpty()) jobs << QJsonDocument::fromJson(line).object();
    return jobs.size();
  };
  ASSERT_TRUE(waitUntil([&] { return readJobs() >= 3; }, 90s)) << editor_.output().toStdString();
  // Every letter was fetched once, the last one by now: a further job would be a second print
  // of one of them, and would show within a second of the last.
  const auto fetched = server_.requests();
  EXPECT_EQ(std::count_if(fetched.begin(), fetched.end(), [](const auto& r) { return r.path.startsWith("/print/"); }), 3);
  spin(1s);
  readJobs();
  ASSERT_EQ(jobs.size(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(jobs[i]["title"].toString().contains(names[i])) << jobs[i]["title"].toString().toStdString();
    QByteArray text;
    EXPECT_EQ(runProgram("pdftotext", {jobs[i]["file"].toString(), "-"}, &text), 0);
    EXPECT_TRUE(text.contains(("Letter " + names[i]).toUtf8())) << text.constData();
  }
  EXPECT_TRUE(textIn(open).contains("Dear Ann Smith,")) << "the open letter is still open";
  EXPECT_TRUE(bodies().isEmpty());
}
