// ZuvoEditor end to end: a notification on the session bus leads to the placeholder list, the
// download, the filled document in the fake word processor and the database row.
#include "editor/GlobalData.h"

#include "support/EditorProcess.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

using zuvo::test::EditorProcess;
using zuvo::test::FakeDocumentServer;
using zuvo::test::FakeReply;
using zuvo::test::FakeWordProcessor;
using zuvo::test::readFile;
using zuvo::test::waitUntil;

namespace {

const QByteArray kLetter = "Dear <<Name>>,\r\n<<Name>>, <<name>> and <<Name>> on <<Date>>.";

QStringList rows() {
  QStringList out;
  const QString path = GlobalData::sharedGlobalData().getDatabasePath();
  if (!QFileInfo::exists(path)) return out;
  try {
    SQLite::Database db(QFile::encodeName(path).toStdString());
    SQLite::Statement q(db, "select name, modified, token from tb_documents");
    while (q.executeStep())
      out << QStringLiteral("%1|%2|%3").arg(QString::fromStdString(q.getColumn(0).getString()),
                                             QString::fromStdString(q.getColumn(1).getString()),
                                             QString::fromStdString(q.getColumn(2).getString()));
  } catch (const std::exception&) {
  }
  return out;
}

// Threads of the process that run a folder watcher.
int watcherThreads(qint64 pid) {
  int n = 0;
  for (const QString& task : QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
    if (readFile(QStringLiteral("/proc/%1/task/%2/comm").arg(pid).arg(task)).trimmed() == "AAPLFileTreeWat") ++n;
  return n;
}

class EditorDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog_ = zuvo::test::makeTempDir("alerts") + "/alerts.jsonl";
    editor.environment().insert("ZUVO_ALERT_LOG", alertLog_);
    editor.environment().insert("XDG_DATA_DIRS", zuvo::test::makeTempDir("no-apps"));
    qputenv("XDG_DATA_DIRS", editor.environment().value("XDG_DATA_DIRS").toUtf8());
  }
  QVariantMap request(const QString& document, const QVariant& isNew) {
    return {{"action", "DownloadDoc"},
            {"download_url", server.url(document)},
            {"placeholder_url", server.url("/placeholders.xml")},
            {"upload_url", server.url("/")},
            {"is_new_doc", isNew}};
  }
  QList<QJsonObject> alerts() const { return zuvo::test::readJsonLines(alertLog_); }

  FakeDocumentServer server;
  EditorProcess editor;
  QString alertLog_;
};

}  // namespace

TEST_F(EditorDownload, NewLetterIsFetchedFilledAndRecorded) {
  FakeWordProcessor fake({.notifications = true});
  ASSERT_TRUE(fake.start());
  server.route("/placeholders.xml", FakeReply{200, {}, "<list><Name>Ann Lee</Name><Date>1 May</Date></list>"});
  server.route("/docs/Letter_2024_ABC123.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(editor.start());

  EditorProcess::post(request("/docs/Letter_2024_ABC123.docx", 0));
  ASSERT_TRUE(waitUntil([&] { return !rows().isEmpty(); }, std::chrono::seconds(30))) << editor.output().toStdString();

  const QList<zuvo::test::JournaledRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 2);
  EXPECT_EQ(requests[0].path, "/placeholders.xml");
  EXPECT_EQ(requests[1].path, "/docs/Letter_2024_ABC123.docx");

  const QString file = GlobalData::sharedGlobalData().getDocumentDownloadPath() + "ABC123/Letter_2024_ABC123.docx";
  EXPECT_EQ(readFile(file), kLetter);
  EXPECT_EQ(fake.scripts().size(), 3);  // list, Name, Date
  EXPECT_EQ(fake.text(file), "Dear Ann Lee,\r\nAnn Lee, <<name>> and Ann Lee on 1 May.");
  ASSERT_EQ(fake.journal("notify").size(), 1);
  EXPECT_EQ(fake.journal("notify")[0]["summary"].toString(), "Downloading...");

  const QStringList r = rows();
  ASSERT_EQ(r.size(), 1);
  const QStringList fields = r[0].split('|');
  EXPECT_EQ(fields[0], "Letter_2024_ABC123.docx");
  EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$").match(fields[1]).hasMatch()) << fields[1].toStdString();
  EXPECT_EQ(fields[1], QFileInfo(file).lastModified().toString("yyyy-MM-dd HH:mm:ss"));
  EXPECT_EQ(fields[2], "ABC123");
  EXPECT_TRUE(editor.waitForOutput("Letter_2024_ABC123.docx : Document details inserted into database successfully"));
  EXPECT_TRUE(waitUntil([&] { return watcherThreads(editor.pid()) == 1; }));
  EXPECT_TRUE(alerts().isEmpty());
}

TEST_F(EditorDownload, LetterThatIsNotNewIsOpenedAsItIs) {
  FakeWordProcessor fake;
  ASSERT_TRUE(fake.start());
  server.route("/docs/Letter_2024_ABC123.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(editor.start());

  EditorProcess::post(request("/docs/Letter_2024_ABC123.docx", "1"));
  ASSERT_TRUE(waitUntil([&] { return !rows().isEmpty(); }, std::chrono::seconds(30))) << editor.output().toStdString();
  EXPECT_TRUE(server.requestsTo("/placeholders.xml").isEmpty());
  EXPECT_TRUE(fake.scripts().isEmpty());
  ASSERT_TRUE(waitUntil([&] { return !fake.journal("open").isEmpty(); }));
  EXPECT_EQ(fake.journal("open")[0]["path"].toString(),
            GlobalData::sharedGlobalData().getDocumentDownloadPath() + "ABC123/Letter_2024_ABC123.docx");
}

TEST_F(EditorDownload, MissingWordProcessorAndBrokenListAreAlerts) {
  server.route("/placeholders.xml", FakeReply{200, {}, "<list><Name>Jos\xe9</Name></list>"});
  server.route("/docs/Letter_2024_ABC123.docx", FakeReply{200, {}, kLetter});
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(editor.start());

  EditorProcess::post(request("/docs/Letter_2024_ABC123.docx", "0"));
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 1; }, std::chrono::seconds(30)));
  EXPECT_EQ(alerts()[0]["message"].toString(), "Microsoft Word application not found");
  EXPECT_EQ(alerts()[0]["informative"].toString(), "Install Microsoft Word 2016 or later for Editing Letters.");

  FakeWordProcessor fake;  // installs the desktop entry
  EditorProcess::post(request("/docs/Letter_2024_ABC123.docx", "0"));
  ASSERT_TRUE(waitUntil([&] { return alerts().size() == 2; }, std::chrono::seconds(30)));
  EXPECT_EQ(alerts()[1]["message"].toString(), "Error");
  EXPECT_EQ(alerts()[1]["informative"].toString(), "Placeholder data parsing failed.");
  zuvo::test::spin(std::chrono::milliseconds(300));
  EXPECT_TRUE(server.requestsTo("/docs/Letter_2024_ABC123.docx").isEmpty());
  EXPECT_EQ(watcherThreads(editor.pid()), 0);
}
