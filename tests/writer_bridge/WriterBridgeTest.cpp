// ZuvoWriterBridge against the real LibreOffice (headless, a profile in the test's own
// home), called over the session bus exactly as the editor calls it.
#include "editor/WordScripts.h"
#include "platform/desktop/WordProcessor.h"
#include "support/TestSupport.h"
#include "writer_bridge/OfficePipe.h"
#include "writer_bridge/Scripts.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

// Readable failures: QString and its lists as text.
void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace zuvo {
namespace {

using namespace std::chrono_literals;
namespace wp = wordprocessor;

const QString kPython = QStringLiteral("/usr/bin/python3");

QString bridgeProgram() { return test::binaryPath(QStringLiteral("writer_bridge/ZuvoWriterBridge")); }

struct Reply {
  bool ok = false;
  QString errorName;
  QString errorMessage;
};

Reply callScript(const QString& source, int timeoutMs = 120'000) {
  QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(wp::kScriptService),
                                                     QString::fromLatin1(wp::kScriptPath),
                                                     QString::fromLatin1(wp::kScriptInterface), QStringLiteral("DoScript"));
  call << source;
  const QDBusMessage r = QDBusConnection::sessionBus().call(call, QDBus::Block, timeoutMs);
  return {r.type() == QDBusMessage::ReplyMessage, r.errorName(), r.errorMessage()};
}

bool nameOwned() {
  return QDBusConnection::sessionBus().interface()->isServiceRegistered(QString::fromLatin1(wp::kScriptService));
}

// The process that listens on a unix socket, or -1.
pid_t socketPeer(const QString& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const QByteArray p = QFile::encodeName(path);
  std::memcpy(addr.sun_path, p.constData(), std::min<size_t>(p.size(), sizeof addr.sun_path - 1));
  pid_t pid = -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) pid = cred.pid;
  }
  ::close(fd);
  return pid;
}

bool processGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

class WriterBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("ZUVO_OFFICE_HEADLESS", "1");  // inherited by every bridge the test starts
    docs_ = test::makeTempDir(QStringLiteral("docs"));
    pipe_ = writer::pipeName();
  }

  void TearDown() override {
    const pid_t office = socketPeer(socket());
    if (office > 0) {
      probe({QStringLiteral("terminate")});
      if (!test::waitUntil([&] { return processGone(office); }, 15s)) ::kill(office, SIGKILL);
    }
    for (auto& b : bridges_) {
      if (b->state() == QProcess::NotRunning) continue;
      b->terminate();
      if (!b->waitForFinished(10'000)) b->kill();
      b->waitForFinished(5'000);
    }
    qunsetenv("ZUVO_OFFICE_HEADLESS");
    qunsetenv("ZUVO_OFFICE_TIMEOUT_MS");
  }

  QString socket() const { return writer::pipeSocketPath(pipe_, ::getuid()); }

  QProcess* startBridge(const QStringList& files) {
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::SeparateChannels);
    p->start(bridgeProgram(), files);
    EXPECT_TRUE(p->waitForStarted());
    bridges_.push_back(std::move(p));
    return bridges_.back().get();
  }

  QString probe(const QStringList& args, int* rc = nullptr) {
    QByteArray out, err;
    const int code = test::runProgram(
        kPython, QStringList{test::sourcePath(QStringLiteral("tests/writer_bridge/office_probe.py")), pipe_} + args,
        &out, &err);
    if (rc) *rc = code;
    if (code != 0 && !rc) ADD_FAILURE() << "probe " << args.join(' ').toStdString() << ": " << err.toStdString();
    return QString::fromUtf8(out);
  }

  QJsonObject text(const QString& path) {
    return QJsonDocument::fromJson(probe({QStringLiteral("text"), path}).toUtf8()).object();
  }
  // Empty while LibreOffice does not answer yet.
  QStringList openDocuments() {
    int rc = 0;
    return probe({QStringLiteral("documents")}, &rc).split('\n', Qt::SkipEmptyParts);
  }

  // A .docx letter: each line a body paragraph, "|" between runs of alternating formatting.
  QString makeLetter(const QString& path, const QStringList& lines) {
    const int rc = test::runProgram(
        kPython, QStringList{test::sourcePath(QStringLiteral("tests/writer_bridge/make_letter.py")), path} + lines);
    EXPECT_EQ(rc, 0);
    return path;
  }

  // Every placeholder filled the way the editor does it: its scripts one after another.
  void fill(const QString& path, const QList<std::pair<QString, QString>>& values) {
    for (const auto& [name, value] : values)
      for (const QString& s : scripts::placeholderScripts(path, scripts::tagFor(name), value)) {
        const Reply r = callScript(s);
        EXPECT_TRUE(r.ok) << name.toStdString() << ": " << r.errorMessage.toStdString();
      }
  }

  QString docs_;
  QString pipe_;
  std::vector<std::unique_ptr<QProcess>> bridges_;
};

QStringList strings(const QJsonValue& v) {
  QStringList out;
  for (const QJsonValue& e : v.toArray()) out << (e.isArray() ? strings(e).join(QStringLiteral(" | ")) : e.toString());
  return out;
}

TEST(WriterBridgeScripts, ReadsTheEditorsTwoShapesAndNothingElse) {
  const QString path = QStringLiteral("/tmp/a \"b\" \\c.docx");
  const QString value = QStringLiteral("line\none\t\"two\" \\ end");
  const auto fill = writer::parseScript(scripts::placeholderScript(path, QStringLiteral("<<Name>>"), value));
  ASSERT_TRUE(std::holds_alternative<writer::FillPlaceholder>(fill));
  EXPECT_EQ(std::get<writer::FillPlaceholder>(fill).path, path);
  EXPECT_EQ(std::get<writer::FillPlaceholder>(fill).tag, QStringLiteral("<<Name>>"));
  EXPECT_EQ(std::get<writer::FillPlaceholder>(fill).value, value);
  const auto insert = writer::parseScript(scripts::insertionScript(QStringLiteral("<<Patient Name>>")));
  ASSERT_TRUE(std::holds_alternative<writer::InsertAtSelection>(insert));
  EXPECT_EQ(std::get<writer::InsertAtSelection>(insert).text, QStringLiteral("<<Patient Name>>"));

  const QString good = scripts::placeholderScript(QStringLiteral("/tmp/x.docx"), QStringLiteral("<<N>>"), QStringLiteral("v"));
  const QString ins = scripts::insertionScript(QStringLiteral("<<N>>"));
  const struct {
    const char* what;
    QString source;
  } refused[] = {
      {"empty", QString()},
      {"another command", QString(good).replace(QStringLiteral("open theDocFile"), QStringLiteral("do shell script \"id\""))},
      {"a line more", ins + QStringLiteral("\ndo shell script \"id\"")},
      {"a line less", ins.section('\n', 0, 2)},
      {"text after the literal", QString(ins).replace(QStringLiteral("\"<<N>>\""), QStringLiteral("\"<<N>>\" & (do shell script \"id\")"))},
      {"unknown escape", QString(ins).replace(QStringLiteral("<<N>>"), QStringLiteral("\\q"))},
      {"escaped closing quote", QString(ins).replace(QStringLiteral("<<N>>\""), QStringLiteral("<<N>>\\\""))},
      {"carriage return line ends", QString(ins).replace('\n', QStringLiteral("\r\n"))},
      {"no file", scripts::placeholderScript(QString(), QStringLiteral("<<N>>"), QStringLiteral("v"))},
      {"no tag", scripts::placeholderScript(QStringLiteral("/tmp/x.docx"), QString(), QStringLiteral("v"))},
  };
  for (const auto& c : refused)
    EXPECT_TRUE(std::holds_alternative<writer::UnknownScript>(writer::parseScript(c.source))) << c.what;
}

// Body, table, header and footer; a tag split across runs; whole words, case; a value that
// holds its own tag and quotes; in each format a letter comes in.
TEST_F(WriterBridgeTest, FillsEveryPlaceholderOfTheLetterInEachFormat) {
  const struct {
    const char* line;      // "|" starts a run of other formatting
    const char* expected;  // the paragraph after Name = Ann, City = "Oslo" <<City>>
  } body[] = {
      {"Dear <<Na|me>>,", "Dear Ann,"},
      {"<<name>> <<NAME>> <<Name >>", "<<name>> <<NAME>> <<Name >>"},
      {"x<<Name>> <<Name>>y <<Names>> 2<<Name>>", "x<<Name>> <<Name>>y <<Names>> 2<<Name>>"},
      {"(<<Name>>) <<Name>>. <<Name>>", "(Ann) Ann. Ann"},
      {"In <<City>>", "In \"Oslo\" <<City>>"},
  };
  QStringList lines, expected;
  for (const auto& b : body) {
    lines << QString::fromUtf8(b.line);
    expected << QString::fromUtf8(b.expected);
  }
  expected << QString();  // the paragraph after the table
  const QString docx = makeLetter(docs_ + QStringLiteral("/letter.docx"), lines);
  // The other formats were made from this very letter by LibreOffice's --convert-to.
  QStringList letters{docx};
  for (const char* ext : {"doc", "odt", "rtf"}) {
    const QString target = docs_ + QStringLiteral("/letter.") + QLatin1String(ext);
    ASSERT_TRUE(QFile::copy(test::sourcePath(QStringLiteral("tests/writer_bridge/fixtures/letter.") + QLatin1String(ext)), target));
    letters << target;
  }

  QProcess* bridge = startBridge({});
  ASSERT_TRUE(test::waitUntil(nameOwned, 20s));
  for (const QString& letter : letters) {
    SCOPED_TRACE(letter.toStdString());
    QElapsedTimer t;
    t.start();
    fill(letter, {{QStringLiteral("Name"), QStringLiteral("Ann")}, {QStringLiteral("City"), QStringLiteral("\"Oslo\" <<City>>")}});
    std::printf("filled %s in %lld ms\n", qPrintable(QFileInfo(letter).fileName()), t.elapsed());
    const QJsonObject got = text(letter);
    EXPECT_EQ(strings(got["body"]), expected);
    EXPECT_EQ(strings(got["tables"]), QStringList{QStringLiteral("Table Ann | \"Oslo\" <<City>>")});
    EXPECT_EQ(strings(got["headers"]), QStringList{QStringLiteral("Header Ann")});
    EXPECT_EQ(strings(got["footers"]), QStringList{QStringLiteral("Footer \"Oslo\" <<City>>")});
  }
  EXPECT_EQ(bridge->state(), QProcess::Running);
}

// Each placeholder's script opens the letter again: the open document goes on being filled,
// unless the file was replaced since it was loaded (a fresh download): that one is read anew.
TEST_F(WriterBridgeTest, OpensTheSameDocumentAgainAndReadsAReplacedFileAnew) {
  const QString path = makeLetter(docs_ + QStringLiteral("/same.docx"), {QStringLiteral("First <<Name>> <<City>>")});
  startBridge({path});
  ASSERT_TRUE(test::waitUntil(nameOwned, 20s));
  ASSERT_TRUE(test::waitUntil([&] { return openDocuments().contains(path); }, 60s));
  fill(path, {{QStringLiteral("Name"), QStringLiteral("Ann")}});
  fill(path, {{QStringLiteral("City"), QStringLiteral("Oslo")}});
  EXPECT_EQ(strings(text(path)["body"]).value(0), QStringLiteral("First Ann Oslo"));

  const QString fresh = makeLetter(docs_ + QStringLiteral("/download.tmp"), {QStringLiteral("Second <<Name>>")});
  ASSERT_EQ(::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(path).constData()), 0);
  fill(path, {{QStringLiteral("Name"), QStringLiteral("Bob")}});
  EXPECT_EQ(strings(text(path)["body"]).value(0), QStringLiteral("Second Bob"));
  EXPECT_EQ(openDocuments().count(path), 1);
}

// A second start with a file hands it to the running bridge; the insertion script types at
// the selection of that template; any other script is refused and runs nothing.
TEST_F(WriterBridgeTest, SecondStartHandsOverAndInsertionTypesAtTheSelection) {
  QProcess* first = startBridge({});
  ASSERT_TRUE(test::waitUntil(nameOwned, 20s));
  const QString path = makeLetter(docs_ + QStringLiteral("/template.docx"), {QStringLiteral("Dear PLACE, regards")});
  QByteArray err;
  EXPECT_EQ(test::runProgram(bridgeProgram(), {path}, nullptr, &err, 90s), 0) << err.toStdString();
  EXPECT_TRUE(openDocuments().contains(path));
  EXPECT_EQ(first->state(), QProcess::Running);

  probe({QStringLiteral("select"), path, QStringLiteral("PLACE")});
  const Reply typed = callScript(scripts::insertionScript(QStringLiteral("<<Patient Name>>")));
  EXPECT_TRUE(typed.ok) << typed.errorMessage.toStdString();
  EXPECT_EQ(strings(text(path)["body"]).value(0), QStringLiteral("Dear <<Patient Name>>, regards"));

  const QString marker = docs_ + QStringLiteral("/ran");
  const Reply refused = callScript(QStringLiteral("tell application \"Microsoft Word\"\n    do shell script \"touch %1\"\nend tell").arg(marker));
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.errorName, QStringLiteral("com.roza.ScriptTarget.Error.Unsupported"));
  EXPECT_FALSE(QFileInfo::exists(marker));
  EXPECT_EQ(strings(text(path)["body"]).value(0), QStringLiteral("Dear <<Patient Name>>, regards"));
}

// A pipe of this name that another user owns is never connected to.
TEST_F(WriterBridgeTest, RefusesAPipeThatIsNotTheUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving the socket to another user needs root";
  QLocalServer impostor;
  QFile::remove(socket());
  ASSERT_TRUE(impostor.listen(socket()));
  ASSERT_EQ(::chown(QFile::encodeName(socket()).constData(), 65534, 65534), 0);
  const QString path = makeLetter(docs_ + QStringLiteral("/l.docx"), {QStringLiteral("x")});
  QProcess* bridge = startBridge({path});
  ASSERT_TRUE(bridge->waitForFinished(30'000));
  EXPECT_EQ(bridge->exitCode(), 1);
  EXPECT_TRUE(bridge->readAllStandardError().contains("not this user's"));
  // The bridge has ended: a connection it made waits in the backlog already.
  impostor.waitForNewConnection(0);
  EXPECT_FALSE(impostor.hasPendingConnections());
  impostor.close();
}

// A LibreOffice that takes the connection and never answers: the script fails in time and
// the bridge does not linger.
TEST_F(WriterBridgeTest, ALibreOfficeThatNeverAnswersFailsInTime) {
  qputenv("ZUVO_OFFICE_TIMEOUT_MS", "3000");
  QLocalServer silent;
  QFile::remove(socket());
  ASSERT_TRUE(silent.listen(socket()));
  QProcess* bridge = startBridge({});
  ASSERT_TRUE(test::waitUntil(nameOwned, 20s));
  const QString path = makeLetter(docs_ + QStringLiteral("/l.docx"), {QStringLiteral("x <<Name>>")});
  QElapsedTimer t;
  t.start();
  const Reply r = callScript(scripts::placeholderScript(path, QStringLiteral("<<Name>>"), QStringLiteral("v")));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errorName, QStringLiteral("com.roza.ScriptTarget.Error.TimedOut"));
  EXPECT_LT(t.elapsed(), 10'000);
  EXPECT_TRUE(bridge->waitForFinished(15'000));
  EXPECT_EQ(bridge->exitCode(), 1);
  silent.close();
}

// One job per file on the default printer, in the order given; a file that cannot be printed
// is reported and the others still are. A LibreOffice started for printing ends afterwards.
TEST_F(WriterBridgeTest, PrintsEachFileAsOneJobInTheGivenOrder) {
  if (::geteuid() != 0) GTEST_SKIP() << "the private CUPS needs root";
  const QString cups = test::makeTempDir(QStringLiteral("cups"));
  QByteArray out, err;
  const QString cupsFixture = test::sourcePath(QStringLiteral("tests/fixtures/private_cups.py"));
  ASSERT_EQ(test::runProgram(kPython, {cupsFixture, QStringLiteral("start"), cups}, &out, &err), 0) << err.toStdString();
  qputenv("CUPS_SERVER", out.trimmed());
  struct StopCups {
    QString fixture, dir;
    ~StopCups() {
      test::runProgram(kPython, {fixture, QStringLiteral("stop"), dir});
      qunsetenv("CUPS_SERVER");
    }
  } stop{cupsFixture, cups};

  QStringList files;
  for (const char* name : {"charlie", "alpha", "bravo"})
    files << makeLetter(docs_ + QStringLiteral("/%1.docx").arg(QLatin1String(name)), {QStringLiteral("Letter %1").arg(QLatin1String(name))});
  QElapsedTimer t;
  t.start();
  const int rc = test::runProgram(bridgeProgram(),
                                  {QStringLiteral("--print"), files[0], docs_ + QStringLiteral("/missing.docx"), files[1], files[2]},
                                  nullptr, &err, 90s);
  std::printf("printed in %lld ms\n", t.elapsed());
  EXPECT_EQ(rc, 1);
  EXPECT_TRUE(err.contains("missing.docx")) << err.toStdString();

  QList<QJsonObject> jobs;
  ASSERT_TRUE(test::waitUntil([&] {
    jobs.clear();
    test::runProgram(kPython, {cupsFixture, QStringLiteral("jobs"), cups}, &out);
    for (const QByteArray& line : out.split('\n'))
      if (!line.isEmpty()) jobs << QJsonDocument::fromJson(line).object();
    return jobs.size() >= 3;
  }, 30s));
  ASSERT_EQ(jobs.size(), 3);
  const QStringList names{QStringLiteral("charlie"), QStringLiteral("alpha"), QStringLiteral("bravo")};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(jobs[i]["title"].toString().contains(names[i])) << jobs[i]["title"].toString().toStdString();
    QByteArray pdfText;
    EXPECT_EQ(test::runProgram(QStringLiteral("pdftotext"), {jobs[i]["file"].toString(), QStringLiteral("-")}, &pdfText), 0);
    EXPECT_TRUE(pdfText.contains(QStringLiteral("Letter %1").arg(names[i]).toUtf8())) << pdfText.toStdString();
  }
  EXPECT_EQ(socketPeer(socket()), -1);  // the LibreOffice it started has ended
}

}  // namespace
}  // namespace zuvo
