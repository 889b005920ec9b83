// The real server (bridge_test_server) with a test identity, driven by curl.
#include "support/TestIdentity.h"
#include "Deployment.h"
#include "common/EditorNotification.h"
#include "platform/net/Keychain.h"
#include "platform/fs/Paths.h"
#include "platform/process/ProgramLauncher.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <map>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <set>

#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>

using namespace zuvo;
using namespace std::chrono_literals;

namespace {

const QString kHost = QString::fromUtf8(deployment::kLocalServerHostName);
const QString kUrl = "https://" + kHost + ":8443";

struct Reply {
  int status = 0;
  std::multimap<QString, QString> headers;  // lower-case names
  QByteArray body;
};

// Parses a header dump of curl -D (the last response in it).
Reply parseHeaders(const QByteArray& dump, const QByteArray& body) {
  Reply r;
  r.body = body;
  for (const QByteArray& raw : dump.split('\n')) {
    const QByteArray line = raw.trimmed();
    if (line.startsWith("HTTP/")) {
      r.status = line.split(' ').value(1).toInt();
      r.headers.clear();
    } else if (const int colon = int(line.indexOf(':')); colon > 0) {
      r.headers.emplace(QString::fromLatin1(line.left(colon)).toLower(), QString::fromLatin1(line.mid(colon + 1)).trimmed());
    }
  }
  return r;
}

std::set<QString> headerNames(const Reply& r) {
  std::set<QString> names;
  for (const auto& [k, v] : r.headers) names.insert(k);
  return names;
}

QString header(const Reply& r, const QString& name) {
  const auto it = r.headers.find(name);
  return it == r.headers.end() ? QString() : it->second;
}

QList<QJsonArray> startsOf(const QString& program) {
  QList<QJsonArray> starts;
  for (const QByteArray& line : test::readFile(test::testRoot() + "/" + program + ".starts").split('\n'))
    if (!line.isEmpty()) starts << QJsonDocument::fromJson(line).array();
  return starts;
}

int activationsOf(const QString& program) {
  return int(test::readFile(test::testRoot() + "/" + program + ".activations").count("activate"));
}

void installFakeProgram(const QString& name) {
  const QString exe = paths::bundleExecutable(name);
  ASSERT_TRUE(QDir().mkpath(QFileInfo(exe).path()));
  ASSERT_TRUE(QFile::copy(test::binaryPath("tests/bridge_server/bridge_fake_program"), exe));
  QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

class SignalRecorder : public QObject {
  Q_OBJECT
 public:
  QList<QDBusMessage> messages;
 public slots:
  void onSignal(const QDBusMessage& m) { messages << m; }
};

// Subscribes the recorder to the EditorNotification and waits until the match rule is in
// place (it reaches the bus asynchronously): a probe signal must come through.
void listenToEditorNotifications(SignalRecorder& recorder) {
  ASSERT_TRUE(QDBusConnection::sessionBus().connect(QString(), kEditorNotificationPath, kEditorNotificationInterface,
                                                    kEditorNotificationName, &recorder, SLOT(onSignal(QDBusMessage))));
  QDBusConnection probe = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "probe");
  ASSERT_TRUE(test::waitUntil([&] {
    probe.send(QDBusMessage::createSignal(kEditorNotificationPath, kEditorNotificationInterface, kEditorNotificationName)
               << QString("probe") << QVariantMap());
    test::spin(50ms);
    return !recorder.messages.isEmpty();
  }));
  // The probes still on their way come before a last one of the same sender.
  probe.send(QDBusMessage::createSignal(kEditorNotificationPath, kEditorNotificationInterface, kEditorNotificationName)
             << QString("last probe") << QVariantMap());
  ASSERT_TRUE(test::waitUntil([&] {
    return !recorder.messages.isEmpty() && recorder.messages.last().arguments().value(0).toString() == "last probe";
  }));
  recorder.messages.clear();
}

// The lines of the server's file log so far.
QStringList fileLogLines() {
  QStringList lines;
  const QDir logs(paths::logsFolder());
  for (const QString& f : logs.entryList(QDir::Files, QDir::Name))
    lines += QString::fromUtf8(test::readFile(logs.filePath(f))).split('\n', Qt::SkipEmptyParts);
  return lines;
}

class BridgeServer : public ::testing::Test {
 protected:
  // Further environment of the server (NAME=value).
  virtual QStringList environment() const { return {}; }

  void SetUp() override {
    identity_ = test::makeTestIdentity(kHost);
    alerts_ = test::testRoot() + "/alerts.jsonl";
    server_.setProcessChannelMode(QProcess::SeparateChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZUVO_ALERT_LOG", alerts_);
    for (const QString& kv : environment()) env.insert(kv.section('=', 0, 0), kv.section('=', 1));
    server_.setProcessEnvironment(env);
    server_.start(test::binaryPath("tests/bridge_server/bridge_test_server"), {"--pem", identity_.pemFile});
    ASSERT_TRUE(test::waitUntil([&] { return server_.readAllStandardOutput().contains("listening") ||
                                             server_.state() == QProcess::NotRunning; }, 30s));
    ASSERT_EQ(server_.state(), QProcess::Running) << server_.readAllStandardError().constData();
  }

  void TearDown() override {
    for (const QString& f : QDir(test::testRoot()).entryList({"*.stay"})) QFile::remove(test::testRoot() + "/" + f);
    server_.terminate();
    if (!server_.waitForFinished(10000)) server_.kill();
  }

  // curl on one connection for the given requests (curl --next between them); the last
  // response's headers and body.
  Reply curl(const QStringList& args, QByteArray* err = nullptr) {
    const QString dir = test::makeTempDir("curl");
    // curl forgets the options of a transfer at --next: repeat them for each.
    const QStringList common{"-sS", "--resolve", kHost + ":8443:127.0.0.1", "--cacert", identity_.certFile,
                             "-D", dir + "/headers", "-o", dir + "/body"};
    QStringList all = common;
    for (const QString& a : args) {
      all << a;
      if (a == "--next") all << common;
    }
    QByteArray out, error;
    EXPECT_EQ(test::runProgram("/usr/bin/curl", all, &out, &error), 0) << error.constData();
    if (err) *err = error;
    return parseHeaders(test::readFile(dir + "/headers"), test::readFile(dir + "/body"));
  }


  // A request that starts another program, answered after every request before it: once its
  // start is seen, a start those requests made would be seen too.
  void awaitMarkerStart() {
    if (!QFile::exists(paths::bundleExecutable("ZuvoRecorder"))) installFakeProgram("ZuvoRecorder");
    const qsizetype before = startsOf("ZuvoRecorder").size();
    EXPECT_EQ(curl({"--data-binary", R"({"Token":"marker"})", kUrl + "/?application=Dictator"}).status, 404);
    ASSERT_TRUE(test::waitUntil([&] { return startsOf("ZuvoRecorder").size() > before; })) << "the marker never started";
  }

  test::TestIdentity identity_;
  QString alerts_;
  QProcess server_;
};

TEST_F(BridgeServer, RepliesCarryExactlyTheirHeaders) {
  const Reply check = curl({kUrl + "/anything?application=CheckScan"});
  EXPECT_EQ(check.status, 200);
  EXPECT_EQ(headerNames(check),
            (std::set<QString>{"date", "accept-ranges", "access-control-allow-origin", "content-length"}));
  EXPECT_EQ(header(check, "accept-ranges"), "bytes");
  EXPECT_EQ(header(check, "access-control-allow-origin"), "*");
  EXPECT_EQ(header(check, "content-length").toInt(), check.body.size());
  const QDateTime date = QLocale::c().toDateTime(header(check, "date"), "ddd, dd MMM yyyy HH:mm:ss 'GMT'");
  EXPECT_TRUE(date.isValid()) << header(check, "date").toStdString();
  EXPECT_EQ(QJsonDocument::fromJson(check.body).object(),
            (QJsonObject{{"response_type", "CheckScan"}, {"success", "true"}, {"message", ""}}));

  // HEAD announces the length but sends no body: the next reply on the connection is whole.
  QByteArray verbose;
  const Reply afterHead = curl({"-v", "-I", kUrl + "/?application=CheckScan", "--next", kUrl + "/?application=CheckScan"}, &verbose);
  EXPECT_TRUE(verbose.contains("Re-using existing connection"));
  EXPECT_EQ(afterHead.status, 200);
  EXPECT_EQ(QJsonDocument::fromJson(afterHead.body).object()["response_type"], "CheckScan");
  EXPECT_EQ(verbose.count("Content-Length: " + QByteArray::number(check.body.size())), 2);

  const std::set<QString> errorHeaders{"date", "accept-ranges", "content-length"};
  for (const char* target : {"/?application=Unknown", "/no-query", "/?application=scancheck"}) {
    const Reply r = curl({kUrl + target});
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(headerNames(r), errorHeaders);
    EXPECT_EQ(header(r, "content-length"), "0");
  }

  std::set<QString> closing = errorHeaders;
  closing.insert("connection");
  for (const char* method : {"OPTIONS", "PUT", "BREW"}) {
    const Reply r = curl({"-X", method, kUrl + "/?application=CheckScan"});
    EXPECT_EQ(r.status, 405) << method;
    EXPECT_EQ(headerNames(r), closing);
    EXPECT_EQ(header(r, "connection"), "close");
  }
}

TEST_F(BridgeServer, BodiesOverTheCapAreRefusedAndStartNothing) {
  installFakeProgram("ZuvoScanner");
  const QString big = test::testRoot() + "/big.json";
  QByteArray body = R"({"Token":"big","pad":")";
  body.append(QByteArray(8 * 1024 * 1024, 'x'));
  body.append("\"}");
  ASSERT_TRUE(test::writeFile(big, body));
  for (const QStringList& extra : {QStringList{}, QStringList{"-H", "Transfer-Encoding: chunked"}}) {
    const Reply r = curl(QStringList{"--data-binary", "@" + big} + extra + QStringList{kUrl + "/?application=ScanDoc"});
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(header(r, "connection"), "close");
  }
  // A body just under the cap is served.
  body = R"({"Token":"fits","pad":")" + QByteArray(8 * 1024 * 1024 - 40, 'x') + "\"}";
  ASSERT_LE(body.size(), 8 * 1024 * 1024);
  ASSERT_TRUE(test::writeFile(big, body));
  EXPECT_EQ(curl({"--data-binary", "@" + big, kUrl + "/?application=ScanDoc"}).status, 404);
  ASSERT_TRUE(test::waitUntil([] { return !startsOf("ZuvoScanner").isEmpty(); }));
  awaitMarkerStart();
  test::spin(300ms);
  EXPECT_EQ(startsOf("ZuvoScanner"), (QList<QJsonArray>{QJsonArray{"ScanDoc", "fits"}}));
}

TEST_F(BridgeServer, StartsProgramsWithTheirArgumentsAndAlertsWhenOneIsMissing) {
  installFakeProgram("ZuvoScanner");
  const QByteArray body = R"({"Token":"t 1","UploadURL":"https://d.test/u?a=1&b","QuickPrint":"yes","PatientId":9,)"
                          R"("PatientName":"-platform x","PatientDOB":null})";
  const Reply r = curl({"--data-binary", body, kUrl + "/?application=ScanDoc"});
  EXPECT_EQ(r.status, 404);
  EXPECT_TRUE(r.body.isEmpty());
  ASSERT_TRUE(test::waitUntil([] { return !startsOf("ZuvoScanner").isEmpty(); }));
  EXPECT_EQ(startsOf("ZuvoScanner").first(),
            (QJsonArray{"ScanDoc", "t 1", "https://d.test/u?a=1&b", "true", "9", "-platform x", ""}));

  // No recorder installed: the start fails with an alert naming it.
  EXPECT_EQ(curl({"--data-binary", R"({"Token":"d"})", kUrl + "/?application=Dictator"}).status, 404);
  ASSERT_TRUE(test::waitUntil([&] { return test::readFile(alerts_).endsWith('\n'); }));  // shown after the reply
  const QList<QByteArray> alerts = test::readFile(alerts_).trimmed().split('\n');
  ASSERT_EQ(alerts.size(), 1);
  const QJsonObject alert = QJsonDocument::fromJson(alerts[0]).object();
  EXPECT_TRUE(alert["message"].toString().contains("ZuvoRecorder"));
  EXPECT_EQ(alert["buttons"].toArray(), QJsonArray{"Ok"});
}

TEST_F(BridgeServer, ARunningProgramIsActivatedInsteadOfStartedAgain) {
  installFakeProgram("ZuvoScanner");
  ASSERT_TRUE(test::writeFile(test::testRoot() + "/ZuvoScanner.stay", ""));
  EXPECT_EQ(curl({kUrl + "/?application=ScanSettings"}).status, 404);
  ASSERT_TRUE(test::waitUntil([] { return !startsOf("ZuvoScanner").isEmpty(); }));
  // Wait until it owns its bus name, then ask again.
  ASSERT_TRUE(test::waitUntil([] {
    return QDBusConnection::sessionBus().interface()->isServiceRegistered("com.roza.zuvoscanner").value();
  }));
  EXPECT_EQ(curl({kUrl + "/?application=ScanSettings"}).status, 404);
  ASSERT_TRUE(test::waitUntil([] { return activationsOf("ZuvoScanner") == 1; }));
  EXPECT_EQ(startsOf("ZuvoScanner").size(), 1);
}

TEST_F(BridgeServer, KeepAliveRequestsDoNotReplayAnEarlierBody) {
  installFakeProgram("ZuvoScanner");
  installFakeProgram("ZuvoRecorder");
  QByteArray err;
  const Reply last = curl({"-v", "--data-binary", R"({"Token":"once"})", kUrl + "/?application=ScanDoc", "--next",
                           kUrl + "/?application=ScanDoc", "--next", kUrl + "/?application=CheckScan"},
                          &err);
  EXPECT_EQ(last.status, 200);
  EXPECT_TRUE(err.contains("Re-using existing connection")) << err.constData();
  // Once the marker's start is seen, any replayed scan would be too.
  awaitMarkerStart();
  ASSERT_TRUE(test::waitUntil([] { return !startsOf("ZuvoScanner").isEmpty(); }));
  test::spin(200ms);
  EXPECT_EQ(startsOf("ZuvoScanner"), (QList<QJsonArray>{QJsonArray{"ScanDoc", "once"}}));
  EXPECT_EQ(activationsOf("ZuvoScanner"), 0);
}

TEST_F(BridgeServer, DocumentRequestsReachTheEditorOnTheSessionBus) {
  SignalRecorder recorder;
  listenToEditorNotifications(recorder);
  EXPECT_EQ(curl({"--data-binary",
                  R"({"BaseURL":"https://d.test/","agrs":"https://d.test/a_b_T1.docx","PlaceHolderPath":null,)"
                  R"("is_new":0,"XMLPath":1.5,"is_template":"true"})",
                  kUrl + "/?application=DownloadDoc"})
                .status,
            404);
  EXPECT_EQ(curl({"--data-binary", R"({"file_path":["https://d.test/1.docx",{"k":false}]})",
                  kUrl + "/?application=PrintDoc"})
                .status,
            404);
  ASSERT_TRUE(test::waitUntil([&] { return recorder.messages.size() == 2; }));

  const QDBusMessage doc = recorder.messages[0];
  EXPECT_EQ(doc.signature(), "sa{sv}");
  EXPECT_EQ(doc.arguments().value(0).toString(), kEditorNotificationObject);
  const QVariantMap info = qdbus_cast<QVariantMap>(doc.arguments().value(1));
  EXPECT_EQ(info.keys(), (QStringList{"action", "download_url", "is_new_doc", "placeholder_url", "upload_url", "xml_path"}));
  EXPECT_EQ(info["action"], QVariant("Template"));
  EXPECT_EQ(info["upload_url"], QVariant("https://d.test/"));
  EXPECT_EQ(info["placeholder_url"], QVariant(""));
  EXPECT_EQ(info["is_new_doc"].metaType(), QMetaType::fromType<qlonglong>());
  EXPECT_EQ(info["is_new_doc"].toLongLong(), 0);
  EXPECT_EQ(info["xml_path"].metaType(), QMetaType::fromType<double>());

  const QVariantMap print = qdbus_cast<QVariantMap>(recorder.messages[1].arguments().value(1));
  EXPECT_EQ(print["action"], QVariant("PrintDoc"));
  const QDBusArgument files = print["file_path"].value<QDBusArgument>();
  EXPECT_EQ(files.currentSignature(), "av");
  const QVariantList list = qdbus_cast<QVariantList>(files);
  ASSERT_EQ(list.size(), 2);
  EXPECT_EQ(list[0], QVariant("https://d.test/1.docx"));
  const QVariantMap inner = qdbus_cast<QVariantMap>(list[1]);
  EXPECT_EQ(inner["k"], QVariant(false));
}

TEST_F(BridgeServer, ServesFiftyConcurrentRequestsAndOwnsItsPort) {
  QStringList args{"--parallel", "--parallel-immediate", "--parallel-max", "50", "-w", "%{http_code} %{size_download}\\n"};
  for (int i = 0; i < 50; ++i) args << "-o" << "/dev/null" << kUrl + QString("/%1?application=CheckScan").arg(i);
  QByteArray out, err;
  ASSERT_EQ(test::runProgram("/usr/bin/curl", QStringList{"-sS", "--resolve", kHost + ":8443:127.0.0.1", "--cacert",
                                                          identity_.certFile} + args,
                             &out, &err),
            0)
      << err.constData();
  const QList<QByteArray> lines = out.trimmed().split('\n');
  EXPECT_EQ(lines.size(), 50);
  for (const QByteArray& line : lines) EXPECT_TRUE(line.startsWith("200 ") && line.mid(4).toInt() > 0) << line.constData();

  // A second instance cannot share the port.
  QByteArray secondErr;
  EXPECT_EQ(test::runProgram(test::binaryPath("tests/bridge_server/bridge_test_server"), {}, nullptr, &secondErr, 30s), 2);
  EXPECT_TRUE(secondErr.contains("Error starting HTTP Server: ")) << secondErr.constData();
  EXPECT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200);
}

TEST_F(BridgeServer, DeeplyNestedBodiesAreRefusedAndTheEditorHearsTheNextRequest) {
  installFakeProgram("ZuvoScanner");
  SignalRecorder recorder;
  listenToEditorNotifications(recorder);
  const QByteArray deep200 = QByteArray("[").repeated(200) + "\"https://d.test/1\"" + QByteArray("]").repeated(200);
  const QByteArray deep31 = QByteArray("[").repeated(31) + "1" + QByteArray("]").repeated(31);
  const std::pair<const char*, QByteArray> refused[] = {
      {"PrintDoc", "{\"file_path\":" + deep200 + "}"},
      {"DownloadDoc", "{\"BaseURL\":\"b\",\"agrs\":" + deep31 + "}"},
      {"ScanDoc", "{\"Token\":\"t\",\"UploadURL\":\"u\",\"PatientName\":" + deep31 + "}"},
  };
  for (const auto& [request, body] : refused) {
    const Reply r = curl({"--data-binary", body, kUrl + "/?application=" + request});
    EXPECT_EQ(r.status, 404) << request;
  }

  const QByteArray next = R"({"file_path":["https://d.test/2"]})";
  EXPECT_EQ(curl({"--data-binary", next, kUrl + "/?application=PrintDoc"}).status, 404);
  ASSERT_TRUE(test::waitUntil([&] { return !recorder.messages.isEmpty(); }));
  test::spin(300ms);
  ASSERT_EQ(recorder.messages.size(), 1);
  const QVariantMap print = qdbus_cast<QVariantMap>(recorder.messages[0].arguments().value(1));
  EXPECT_EQ(qdbus_cast<QVariantList>(print["file_path"].value<QDBusArgument>()), QVariantList{"https://d.test/2"});
  EXPECT_TRUE(startsOf("ZuvoScanner").isEmpty());
  EXPECT_EQ(server_.state(), QProcess::Running);

  // One error line for each refused request.
  ASSERT_TRUE(test::waitUntil([] { return fileLogLines().filter("skipped: its body nests").size() == 3; }));
  for (const auto& [request, body] : refused)
    EXPECT_EQ(fileLogLines().filter(QString("| Error   | Request for %1 skipped").arg(request)).size(), 1) << request;
}

TEST_F(BridgeServer, SixteenConcurrentRequestsStartTheScannerOnce) {
  installFakeProgram("ZuvoScanner");
  ASSERT_TRUE(test::writeFile(test::testRoot() + "/ZuvoScanner.stay", ""));
  QStringList args{"--parallel", "--parallel-immediate", "--parallel-max", "16", "-w", "%{http_code}\\n"};
  for (int i = 0; i < 16; ++i) args << "-o" << "/dev/null" << kUrl + "/?application=ScanSettings";
  QByteArray out;
  ASSERT_EQ(test::runProgram("/usr/bin/curl", QStringList{"-sS", "--resolve", kHost + ":8443:127.0.0.1", "--cacert",
                                                          identity_.certFile} + args, &out), 0);
  EXPECT_EQ(out.count("404"), 16);
  ASSERT_TRUE(test::waitUntil([] { return !startsOf("ZuvoScanner").isEmpty(); }));
  awaitMarkerStart();
  test::spin(500ms);
  EXPECT_EQ(startsOf("ZuvoScanner").size(), 1);
}

TEST_F(BridgeServer, RequestsForAnotherHostAreTurnedAway) {
  installFakeProgram("ZuvoScanner");
  for (const char* host : {"evil.example", "evil.example:8443", "127.0.0.2:8443"}) {
    for (const char* request : {"ScanSettings", "CheckScan"}) {
      const Reply r = curl({"-H", QString("Host: ") + host, kUrl + "/?application=" + request});
      EXPECT_EQ(r.status, 421) << host << " " << request;
      EXPECT_EQ(header(r, "connection"), "close");
      EXPECT_EQ(header(r, "access-control-allow-origin"), "");
    }
  }
  // Our own names are served, from any origin when the deployment names none.
  for (const QString& host : {QString("localhost:8443"), QString("127.0.0.1"), kHost.toUpper()})
    EXPECT_EQ(curl({"-H", "Host: " + host, kUrl + "/?application=CheckScan"}).status, 200) << host.toStdString();
  EXPECT_EQ(curl({"-H", "Origin: https://elsewhere.example", kUrl + "/?application=CheckScan"}).status, 200);
  awaitMarkerStart();
  test::spin(300ms);
  EXPECT_TRUE(startsOf("ZuvoScanner").isEmpty());
}

// Each refused request leaves one error line in the file log saying why, with what was read
// of it; nothing else is logged for it.
TEST_F(BridgeServer, EveryRefusedRequestLeavesOneErrorLine) {
  const QString headerFlood = test::testRoot() + "/flood.txt";
  QByteArray fields;
  for (int i = 0; i < 700; ++i) fields += "X-Field-" + QByteArray::number(i) + ": aaaaaaaaaaaaaaaa\n";
  ASSERT_TRUE(test::writeFile(headerFlood, fields));
  const QString host = kHost + ":8443";
  const struct {
    const char* name;
    QStringList args;
    int status;
    QString line;
    bool lineStartsWith = false;
  } cases[] = {
      {"preflight",
       {"-X", "OPTIONS", "-H", "Origin: https://app.example", "-H", "Access-Control-Request-Method: POST",
        kUrl + "/?application=ScanDoc"},
       405,
       "Request refused (405, only GET, POST and HEAD are served): OPTIONS /?application=ScanDoc, Host " + host +
           ", Origin https://app.example"},
      {"foreign host", {"-H", "Host: evil.example", kUrl + "/?application=CheckScan"}, 421,
       "Request refused (421, its Host is not this server): GET /?application=CheckScan, Host evil.example, Origin (none)"},
      // What was read of the header follows when the parser got that far.
      {"header flood", {"-H", "@" + headerFlood, kUrl + "/?application=CheckScan"}, 431,
       "Request refused (431, its header is larger than 16384 bytes)", true},
      {"body announced over the cap", {"-H", "Content-Length: 9000000", "--data-binary", "x", kUrl + "/?application=ScanDoc"},
       413,
       "Request refused (413, its body is larger than 8388608 bytes): POST /?application=ScanDoc, Host " + host +
           ", Origin (none)"},
      {"body not an object", {"--data-binary", "[\"t\"]", kUrl + "/?application=ScanDoc"}, 404,
       "Request for ScanDoc skipped: its body (5 bytes) is not a JSON object"},
      {"unknown application", {kUrl + "/?application=Scan%0ADoc"}, 404, "Request skipped: unknown application \"Scan\\nDoc\""},
  };
  const auto refusalLines = [] {
    QStringList lines = fileLogLines().filter("| Error   | Request ");
    return lines.filter(" refused (") + lines.filter(" skipped");
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const qsizetype before = refusalLines().size();
    EXPECT_EQ(curl(c.args).status, c.status);
    ASSERT_TRUE(test::waitUntil([&] { return refusalLines().size() > before; })) << fileLogLines().join('\n').toStdString();
    test::spin(200ms);
    const QStringList lines = refusalLines();
    ASSERT_EQ(lines.size(), before + 1) << lines.join('\n').toStdString();
    const QString line = lines.last().section(" | ", 2);
    EXPECT_TRUE(c.lineStartsWith ? line.startsWith(c.line) : line == c.line) << lines.last().toStdString();
    EXPECT_TRUE(lines.last().contains(" | Error   | "));
  }
  EXPECT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200);
}

// A flood of refused requests writes a burst of lines, then one line with the count of the
// rest; the bridge serves on.
TEST_F(BridgeServer, AFloodOfRefusedRequestsLeavesABoundedLog) {
  constexpr int kRequests = 300;
  QStringList args{"-X", "OPTIONS", "--parallel", "--parallel-immediate", "--parallel-max", "50", "-w", "%{http_code}\\n"};
  for (int i = 0; i < kRequests; ++i) args << "-o" << "/dev/null" << kUrl + QString("/%1?application=ScanDoc").arg(i);
  QElapsedTimer clock;
  clock.start();
  QByteArray out;
  ASSERT_EQ(test::runProgram("/usr/bin/curl", QStringList{"-sS", "--resolve", kHost + ":8443:127.0.0.1", "--cacert",
                                                          identity_.certFile} + args, &out), 0);
  const qint64 took = clock.elapsed();
  EXPECT_EQ(out.count("405"), kRequests);
  const QRegularExpression held("not logged since the last such line: (\\d+) ");
  const auto counted = [&](int* lines = nullptr) {
    const QStringList all = fileLogLines();
    int total = 0;
    for (const QString& l : all) {
      if (const QRegularExpressionMatch m = held.match(l); m.hasMatch()) total += m.captured(1).toInt();
    }
    const int written = int(all.filter("Request refused (405").size());
    if (lines) *lines = written;
    return total + written;
  };
  // The count of the rest follows once a line may be written again.
  ASSERT_TRUE(test::waitUntil([&] { return counted() == kRequests; }, 20s)) << counted();
  int lines = 0;
  counted(&lines);
  EXPECT_GE(lines, 20);
  EXPECT_LE(lines, 20 + took / 5000 + 1) << "the flood took " << took << " ms";
  EXPECT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200);
}

TEST_F(BridgeServer, LoggedTokensAreEscapedAndCut) {
  installFakeProgram("ZuvoScanner");
  const QString token = "line\n2026/01/01 00:00:00:000 | Error   | forged\r\t\u0001" + QString(3000, 'x');
  const QJsonObject body{{"Token", token}, {"UploadURL", "u"}};
  EXPECT_EQ(curl({"--data-binary", QJsonDocument(body).toJson(QJsonDocument::Compact), kUrl + "/?application=ScanDoc"}).status,
            404);
  ASSERT_TRUE(test::waitUntil([] { return !startsOf("ZuvoScanner").isEmpty(); }));
  EXPECT_EQ(startsOf("ZuvoScanner").first().at(1).toString(), token);  // the program gets it whole
  ASSERT_TRUE(test::waitUntil([] { return !fileLogLines().filter("with token : ").isEmpty(); }));
  const QStringList lines = fileLogLines();
  EXPECT_TRUE(lines.filter("forged").size() == 1) << lines.join('\n').toStdString();
  const QString line = lines.filter("with token : ").first();
  const QString shown = "line\\n2026/01/01 00:00:00:000 | Error   | forged\\r\\t\\u0001";
  const QString expected = "Request received for ScanDoc with token : " + shown + QString(1024 - shown.size(), 'x') +
                           QString("... (%1 more bytes)").arg(3000 - (1024 - shown.size()));
  EXPECT_TRUE(line.endsWith(" | " + expected)) << line.toStdString();
}

class BridgeServerWithSlowAlerts : public BridgeServer {
 protected:
  QStringList environment() const override { return {"ZUVO_ALERT_DELAY_MS=4000"}; }
};

TEST_F(BridgeServerWithSlowAlerts, FailedStartsAreAnsweredWithoutWaitingForTheAlerts) {
  // No recorder: every request ends in an alert that takes its time to be answered.
  // One body for every transfer of the group.
  QStringList args{"--parallel", "--parallel-immediate", "--parallel-max", "16", "-w", "%{http_code}\\n",
                   "--data-binary", R"({"Token":"d"})"};
  for (int i = 0; i < 16; ++i) args << "-o" << "/dev/null" << kUrl + "/?application=Dictator";
  QElapsedTimer clock;
  clock.start();
  QByteArray out;
  ASSERT_EQ(test::runProgram("/usr/bin/curl", QStringList{"-sS", "--resolve", kHost + ":8443:127.0.0.1", "--cacert",
                                                          identity_.certFile} + args, &out), 0);
  EXPECT_EQ(out.count("404"), 16);
  EXPECT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200);
  EXPECT_LT(clock.elapsed(), 3000);  // well before the first alert is answered
  EXPECT_TRUE(test::waitUntil([&] { return test::readFile(alerts_).count('\n') == 16; }, 20s));
}

TEST_F(BridgeServer, ANewIdentityInTheKeychainIsServedWithoutARestart) {
  ASSERT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200);
  // What a later start-up does: the labelled certificate goes, a new identity comes.
  const test::TestIdentity second = test::makeTestIdentity(kHost);
  for (const keychain::Certificate& c : keychain::certificates()) {
    if (c.label == kHost) {
      ASSERT_TRUE(keychain::deleteItem(c.itemId));
    }
  }
  QString error;
  ASSERT_TRUE(keychain::importPKCS12(test::makePKCS12(second, "pass"), "pass", &error)) << error.toStdString();
  identity_ = second;  // curl now trusts only the new certificate
  for (int i = 0; i < 3; ++i) EXPECT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200) << i;
}

// A client of our own for what curl cannot do: hold many connections, send a header that
// never ends, send slowly.
class RawClient {
 public:
  RawClient() = default;
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() {
    if (ssl_) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
  }

  bool connectTcp() {
    // A server that closes while we write must not end the test.
    static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)ignored;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8443);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }

  bool connectTls() {
    static SSL_CTX* const ctx = [] {
      SSL_CTX* c = SSL_CTX_new(TLS_client_method());
      SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
      return c;
    }();
    if (!connectTcp()) return false;
    ssl_ = SSL_new(ctx);
    SSL_set_fd(ssl_, fd_);
    return SSL_connect(ssl_) == 1;
  }

  bool send(const QByteArray& data) {
    if (ssl_) return SSL_write(ssl_, data.constData(), int(data.size())) == int(data.size());
    return ::send(fd_, data.constData(), std::size_t(data.size()), MSG_NOSIGNAL) == data.size();
  }

  // Waits for the server to close the connection, sending one byte of `trickle` every
  // 200 ms meanwhile; how long it took, or nothing within the limit. What the server sent
  // is kept in received().
  std::optional<std::chrono::milliseconds> waitForClose(std::chrono::milliseconds limit, const QByteArray& trickle = {}) {
    const auto start = std::chrono::steady_clock::now();
    qsizetype next = 0;
    while (std::chrono::steady_clock::now() - start < limit) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 200) > 0) {
        char buf[4096];
        const int n = ssl_ ? SSL_read(ssl_, buf, sizeof buf) : int(::recv(fd_, buf, sizeof buf, 0));
        if (n <= 0) return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        received_.append(buf, n);
      } else if (next < trickle.size() && !send(trickle.mid(next++, 1))) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      }
    }
    return std::nullopt;
  }

  // Whether the server has closed the connection by now (what it sent stays unread).
  bool closedByServer() const {
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char byte;
    return (p.revents & (POLLRDHUP | POLLHUP)) || ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

  const QByteArray& received() const { return received_; }

 private:
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  QByteArray received_;
};

QByteArray procStatus(qint64 pid, const QByteArray& field) {
  for (const QByteArray& line : test::readFile(QString("/proc/%1/status").arg(pid)).split('\n'))
    if (line.startsWith(field + ":")) return line.mid(field.size() + 1).trimmed();
  return {};
}
qint64 kilobytes(qint64 pid, const QByteArray& field) { return procStatus(pid, field).split(' ').value(0).toLongLong(); }

// User and system CPU time of a process, in ms.
qint64 cpuMs(qint64 pid) {
  const QByteArray stat = test::readFile(QString("/proc/%1/stat").arg(pid));
  const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
  return (f.value(11).toLongLong() + f.value(12).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

int openFiles(qint64 pid) { return int(QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size()); }

bool setFileLimit(pid_t pid, rlim_t soft) {
  rlimit limit{};
  if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit) != 0 || limit.rlim_max < soft) return false;
  limit.rlim_cur = soft;
  return ::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr) == 0;
}

TEST_F(BridgeServer, AHeaderFloodIsRefusedWithBoundedMemory) {
  // Many small fields, each far below any per-field limit, over 16 KiB in all.
  const QString headers = test::testRoot() + "/headers.txt";
  QByteArray lines;
  for (int i = 0; i < 700; ++i) lines += "X-Field-" + QByteArray::number(i) + ": aaaaaaaaaaaaaaaa\n";
  ASSERT_TRUE(test::writeFile(headers, lines));
  const Reply refused = curl({"-H", "@" + headers, kUrl + "/?application=CheckScan"});
  EXPECT_EQ(refused.status, 431);
  EXPECT_EQ(header(refused, "connection"), "close");

  // Four connections each sending up to 50 MB of header lines: cut off early, and the server's
  // memory stays near what it was.
  const qint64 pid = server_.processId();
  const qint64 before = kilobytes(pid, "VmRSS");
  std::vector<std::thread> flood;
  std::atomic<int> cutOff{0};
  for (int c = 0; c < 4; ++c)
    flood.emplace_back([&] {
      RawClient client;
      if (!client.connectTls() || !client.send("GET /?application=CheckScan HTTP/1.1\r\nHost: " + kHost.toUtf8() + "\r\n")) return;
      const QByteArray chunk = QByteArray("X-Pad: ").append(QByteArray(48, 'p')).append("\r\n").repeated(1024);
      qint64 sent = 0;
      while (sent < 50 * 1024 * 1024 && client.send(chunk)) sent += chunk.size();
      if (sent < 50 * 1024 * 1024) ++cutOff;
    });
  for (std::thread& t : flood) t.join();
  EXPECT_EQ(cutOff, 4);
  EXPECT_LT(kilobytes(pid, "VmHWM") - before, 32 * 1024) << "before " << before << " kB";
  EXPECT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200);
}

TEST_F(BridgeServer, ConnectionsOverTheCapAreClosedAtAcceptWithoutSpinning) {
  const pid_t pid = pid_t(server_.processId());
  if (!setFileLimit(0, 1200)) GTEST_SKIP() << "cannot open 1100 connections here";
  ASSERT_TRUE(setFileLimit(pid, 1024));
  ASSERT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200);
  const int baseline = openFiles(pid);
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 1100; ++i) {
    idle.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(idle.back()->connectTcp()) << i;
  }
  EXPECT_TRUE(test::waitUntil([&] { return openFiles(pid) >= baseline + 256; }));
  // Every connection over the cap has been accepted and closed: the server is past them all.
  const auto closed = [&] {
    return std::count_if(idle.begin(), idle.end(), [](const auto& c) { return c->closedByServer(); });
  };
  EXPECT_TRUE(test::waitUntil([&] { return closed() >= 1100 - 256; }, 30s)) << closed() << " closed";
  EXPECT_LE(openFiles(pid), baseline + 256);
  const qint64 cpu = cpuMs(pid);
  test::spin(2s);
  EXPECT_LT(cpuMs(pid) - cpu, 300) << "the server works while only idle connections wait";
  idle.clear();
  EXPECT_TRUE(test::waitUntil([&] { return curl({kUrl + "/?application=CheckScan"}).status == 200; }));
}

TEST_F(BridgeServer, AcceptErrorsPauseInsteadOfSpinning) {
  const pid_t pid = pid_t(server_.processId());
  const int baseline = openFiles(pid);
  ASSERT_TRUE(setFileLimit(pid, rlim_t(baseline + 16)));
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 100; ++i) {
    clients.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(clients.back()->connectTcp()) << i;
  }
  test::spin(500ms);
  const qint64 cpu = cpuMs(pid);
  test::spin(2s);
  EXPECT_LT(cpuMs(pid) - cpu, 300) << "the accept loop spins on EMFILE";
  // Once descriptors are free again, new clients are served.
  clients.clear();
  EXPECT_TRUE(test::waitUntil([&] { return curl({kUrl + "/?application=CheckScan"}).status == 200; }));
}

class BridgeServerShortTimeout : public BridgeServer {
 protected:
  QStringList environment() const override { return {"ZUVO_HTTP_REQUEST_TIMEOUT_MS=1500"}; }
};

TEST_F(BridgeServerShortTimeout, IdleAndSlowConnectionsAreClosed) {
  struct Case {
    const char* name;
    bool tls;
    QByteArray first;    // sent at once after the handshake
    QByteArray trickle;  // then one byte every 200 ms
  };
  const QByteArray host = "Host: " + kHost.toUtf8() + "\r\n";
  const Case cases[] = {
      {"no handshake", false, {}, {}},
      {"nothing sent", true, {}, {}},
      {"a header sent slowly", true, "GET /?application=CheckScan HTTP/1.1\r\n", QByteArray("X-Slow: ").append(QByteArray(60, 's'))},
      {"a body sent slowly", true, "POST /?application=ScanDoc HTTP/1.1\r\n" + host + "Content-Length: 100\r\n\r\n", QByteArray(60, ' ')},
      {"idle after a reply", true, "GET /?application=CheckScan HTTP/1.1\r\n" + host + "\r\n", {}},
  };
  std::vector<std::optional<std::chrono::milliseconds>> closedAfter(std::size(cases));
  std::vector<QByteArray> received(std::size(cases));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < std::size(cases); ++i)
    threads.emplace_back([&, i] {
      RawClient client;
      const Case& c = cases[i];
      if (!(c.tls ? client.connectTls() : client.connectTcp()) || (!c.first.isEmpty() && !client.send(c.first))) return;
      closedAfter[i] = client.waitForClose(10s, c.trickle);
      received[i] = client.received();
    });
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    ASSERT_TRUE(closedAfter[i].has_value()) << cases[i].name;
    EXPECT_GE(*closedAfter[i], 1200ms) << cases[i].name;
    EXPECT_LE(*closedAfter[i], 4000ms) << cases[i].name;
  }
  EXPECT_TRUE(received[4].startsWith("HTTP/1.1 200")) << received[4].constData();
  EXPECT_TRUE(received[2].isEmpty() && received[3].isEmpty());
  // A client that keeps to time is served as before.
  EXPECT_EQ(curl({kUrl + "/?application=CheckScan"}).status, 200);
}

TEST(ProgramLauncher, RefusesWhatCannotBeStarted) {
  QString error;
  EXPECT_FALSE(launchApplication(paths::bundlePath("ZuvoScanner"), {"ScanSettings"}, &error));
  EXPECT_TRUE(error.contains("ZuvoScanner")) << error.toStdString();

  installFakeProgram("ZuvoScanner");
  error.clear();
  EXPECT_FALSE(launchApplication(paths::bundlePath("ZuvoScanner"), {QString("a") + QChar(0) + "b"}, &error));
  EXPECT_FALSE(error.isEmpty());
  test::spin(200ms);
  EXPECT_TRUE(startsOf("ZuvoScanner").isEmpty());

  // A file that is not a program.
  const QString exe = paths::bundleExecutable("ZuvoRecorder");
  ASSERT_TRUE(QDir().mkpath(QFileInfo(exe).path()));
  ASSERT_TRUE(test::writeFile(exe, "not a program"));
  error.clear();
  EXPECT_FALSE(launchApplication(paths::bundlePath("ZuvoRecorder"), {}, &error));
  EXPECT_TRUE(error.contains("ZuvoRecorder")) << error.toStdString();
}

}  // namespace

#include "BridgeServerTest.moc"
