// ZuvoLocalServer's start-up chain, run for real against the loopback stand-ins of the
// configuration host, the identity provider and the key vault.
#include "Deployment.h"
#include "platform/net/Keychain.h"
#include "platform/fs/Paths.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslCertificate>
#include <QTcpServer>

#include <net/if.h>
#include <openssl/x509.h>

#include <optional>

using namespace std::chrono_literals;
using zuvo::test::waitUntil;

namespace {

const QString kHost = QString::fromUtf8(zuvo::deployment::kLocalServerHostName);
const QString kSecret = QStringLiteral("s3cr3t+&=% value");
const QString kStandIns = QStringLiteral("tests/fixtures/startup_services.py");

// The three stand-ins, one process.
class Services {
 public:
  explicit Services(const QStringList& args) : dir_(zuvo::test::makeTempDir("services")) {
    proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc_.start("/usr/bin/python3", QStringList{zuvo::test::sourcePath(kStandIns), "--dir", dir_,
                                                "--host-name", kHost, "--secret", kSecret} +
                                        args);
    ready_ = waitUntil([&] { return QFile::exists(dir_ + "/ready"); }, 60s);
  }
  ~Services() {
    proc_.terminate();
    if (!proc_.waitForFinished(5000)) proc_.kill(), proc_.waitForFinished();
  }
  bool ready() const { return ready_; }
  QString ca() const { return dir_ + "/ca.pem"; }
  QByteArray bridgeCertificate() const { return zuvo::test::readFile(dir_ + "/bridge.pem"); }
  QList<QJsonObject> requests(const QString& service) const {
    QList<QJsonObject> out;
    for (const QByteArray& line : zuvo::test::readFile(dir_ + "/requests.jsonl").split('\n')) {
      const QJsonObject o = QJsonDocument::fromJson(line).object();
      if (o.value("service").toString() == service) out.append(o);
    }
    return out;
  }

 private:
  QString dir_;
  QProcess proc_;
  bool ready_ = false;
};

// ZuvoLocalServer with its console log (the bare messages) collected.
class Server {
 public:
  Server(const Services& services, const QString& dataHome, const QStringList& env = {}) {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("ZUVO_TEST_CA_FILE", services.ca());
    e.insert("XDG_DATA_HOME", dataHome);
    for (const QString& kv : env) e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    proc_.setProcessEnvironment(e);
    QObject::connect(&proc_, &QProcess::readyReadStandardError, [this] { log_ += proc_.readAllStandardError(); });
    proc_.start(zuvo::test::binaryPath("bridge_server/ZuvoLocalServer"), {});
    proc_.waitForStarted();
  }
  ~Server() {
    proc_.terminate();
    if (!proc_.waitForFinished(5000)) proc_.kill(), proc_.waitForFinished();
  }
  bool running() const { return proc_.state() == QProcess::Running; }
  // SIGTERM to this process only; true when it then ends by itself with status 0.
  bool terminateAndWait() {
    proc_.terminate();
    return proc_.waitForFinished(10000) && proc_.exitStatus() == QProcess::NormalExit && proc_.exitCode() == 0;
  }
  QStringList lines() const { return QString::fromUtf8(log_).split('\n', Qt::SkipEmptyParts); }
  bool waitForLine(const std::function<bool(const QString&)>& match, std::chrono::milliseconds t = 30s) {
    auto seen = [&] {
      const QStringList all = lines();
      return std::any_of(all.begin(), all.end(), match);
    };
    return waitUntil([&] { return seen() || !running(); }, t) && seen();
  }
  QByteArray log() const { return log_; }

 private:
  QProcess proc_;
  QByteArray log_;
};

// CheckScan through curl, as the web page would reach the bridge.
int checkScan(const QString& ca, QByteArray* body) {
  return zuvo::test::runProgram(
      "curl", {"-sS", "--max-time", "10", "--resolve", kHost + ":8443:127.0.0.1", "--cacert", ca,
               "https://" + kHost + ":8443/?application=CheckScan"},
      body, nullptr, 20s);
}

bool waitUntilServing(const QString& ca) {
  QByteArray body;
  return waitUntil([&] { return checkScan(ca, &body) == 0; }, 40s) &&
         QJsonDocument::fromJson(body).object().value("response_type").toString() == "CheckScan";
}

QStringList workFiles() {
  QStringList left;
  const QString work = zuvo::paths::temporaryDirectory() + "/SecureHTTPServer";
  for (const QString& f : QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
    if (f != ".lock") left << work + "/" + f;  // the conversions' lock stays; it holds nothing
  for (const QString& f : QDir(zuvo::paths::temporaryDirectory()).entryList({"download-*"}, QDir::Files))
    left << f;
  return left;
}

struct Row {
  QStringList services;  // stand-in options
  QString message;       // the one error line expected
  QStringList env = {};
};

// Runs each row against fresh stand-ins and a fresh data home; the server must log exactly
// the row's message and keep running.
void runRows(const QList<Row>& rows, const std::function<void(const Services&, const Row&)>& also = {}) {
  for (const Row& row : rows) {
    SCOPED_TRACE((row.services.join(' ') + " -> " + row.message).toStdString());
    Services services(row.services);
    ASSERT_TRUE(services.ready());
    Server server(services, zuvo::test::makeTempDir("data"), row.env);
    EXPECT_TRUE(server.waitForLine([&](const QString& l) { return l == row.message; }))
        << server.log().toStdString();
    zuvo::test::spin(500ms);
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.lines().count(row.message), 1) << server.log().toStdString();
    QByteArray body;
    EXPECT_NE(checkScan(services.ca(), &body), 0);  // no server
    if (also) also(services, row);
    EXPECT_EQ(workFiles().join(", ").toStdString(), "");
  }
}

QByteArray derOf(const zuvo::keychain::Identity& identity) {
  X509* held = identity.certificate.x509.get();
  QByteArray der(i2d_X509(held, nullptr), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  i2d_X509(held, &out);
  return der;
}

const QStringList kShortTimeout = {"ZUVO_HTTP_TIMEOUT_MS=1500"};

}  // namespace

TEST(ServerStartup, ServesCheckScanWithTheFetchedCertificate) {
  Services services({"--identity-mode", "charset", "--vault-mode", "charset"});
  ASSERT_TRUE(services.ready());
  const QString data = zuvo::test::makeTempDir("data");
  std::optional<Server> server(std::in_place, services, data);
  ASSERT_TRUE(waitUntilServing(services.ca())) << server->log().toStdString();

  // The secret with "+", "&", "=", "%" and a blank reached the identity provider intact.
  const QList<QJsonObject> token = services.requests("identity");
  ASSERT_EQ(token.size(), 1);
  EXPECT_EQ(token[0]["form"].toObject()["client_secret"].toString(), kSecret);
  EXPECT_EQ(token[0]["path"].toString(), "/" + QString(zuvo::deployment::kTenantPieces[0]) + "-" +
                                             zuvo::deployment::kTenantPieces[3] + "-" +
                                             zuvo::deployment::kTenantPieces[2] + "-" +
                                             zuvo::deployment::kTenantPieces[1] + "-" +
                                             zuvo::deployment::kTenantPieces[4] + "/oauth2/v2.0/token");
  const QList<QJsonObject> vault = services.requests("vault");
  ASSERT_EQ(vault.size(), 1);
  const QString bearer = vault[0]["headers"].toObject()["authorization"].toString();
  EXPECT_TRUE(bearer.startsWith("Bearer eyJ"));

  // Nothing secret in the log: not the secret, the token or the PEM.
  QByteArray logs = server->log();
  server.emplace(services, data);  // a second start, so the log holds two runs
  ASSERT_TRUE(waitUntilServing(services.ca()));
  logs += server->log();
  for (const QString& f : QDir(data + "/ZuvoDocV30/Logs").entryList(QDir::Files))
    logs += zuvo::test::readFile(data + "/ZuvoDocV30/Logs/" + f);
  EXPECT_FALSE(logs.contains(kSecret.toUtf8()));
  EXPECT_FALSE(logs.contains(bearer.mid(7).toUtf8()));
  EXPECT_FALSE(logs.contains("PRIVATE KEY"));
  EXPECT_FALSE(logs.contains("CERTIFICATE"));
  EXPECT_EQ(workFiles().join(", ").toStdString(), "");

  // The program holds the identifiers only in pieces.
  const QByteArray binary = zuvo::test::readFile(zuvo::test::binaryPath("bridge_server/ZuvoLocalServer"));
  ASSERT_FALSE(binary.isEmpty());
  EXPECT_FALSE(binary.contains(token[0]["path"].toString().section('/', 1, 1).toLatin1()));
  EXPECT_FALSE(binary.contains(token[0]["form"].toObject()["client_id"].toString().toLatin1()));
}

TEST(ServerStartup, AdvertisesTheBridgeThroughAvahiWhenItIsThere) {
  // Avahi lives on the system bus; this test's private bus plays that part.
  const QString record = zuvo::test::makeTempDir("avahi") + "/calls.jsonl";
  QProcess avahi;
  avahi.start("/usr/bin/python3", {zuvo::test::sourcePath("tests/fixtures/fake_avahi.py"), record});
  ASSERT_TRUE(waitUntil([&] { return zuvo::test::readFile(record).startsWith("ready"); }, 20s));
  Services services({});
  ASSERT_TRUE(services.ready());
  Server server(services, zuvo::test::makeTempDir("data"),
                {"DBUS_SYSTEM_BUS_ADDRESS=" + qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS")});
  ASSERT_TRUE(waitUntilServing(services.ca())) << server.log().toStdString();
  ASSERT_TRUE(waitUntil([&] { return zuvo::test::readFile(record).contains("Commit"); })) << server.log().toStdString();
  const QJsonObject add = QJsonDocument::fromJson(zuvo::test::readFile(record).split('\n')[1]).object();
  EXPECT_EQ(add["call"].toString(), "AddService");
  EXPECT_EQ(add["type"].toString(), "_http._tcp");
  EXPECT_EQ(add["port"].toInt(), 8443);
  EXPECT_EQ(add["interface"].toInt(), int(if_nametoindex("lo")));
  EXPECT_FALSE(add["name"].toString().isEmpty());
  avahi.terminate();
  avahi.waitForFinished();
}

TEST(ServerStartup, ConfigurationFailuresSendTheTokenRequestWithAnEmptySecret) {
  const QString refused = QStringLiteral("Request failed: unauthorized (401)");
  runRows({{{"--config-mode", "closed"}, refused},
           {{"--config-mode", "status"}, refused},
           {{"--config-mode", "html"}, refused},
           {{"--config-mode", "notjson"}, refused},
           {{"--config-mode", "nomember"}, refused},
           {{"--config-mode", "nottext"}, refused},
           {{"--config-mode", "silent"}, refused, kShortTimeout}},
          [](const Services& services, const Row&) {
            const QList<QJsonObject> token = services.requests("identity");
            ASSERT_EQ(token.size(), 1);
            EXPECT_EQ(token[0]["form"].toObject()["client_secret"].toString("missing"), "");
            EXPECT_TRUE(services.requests("vault").isEmpty());
          });
}

TEST(ServerStartup, TokenFailuresEndTheChain) {
  runRows({{{"--identity-mode", "closed"}, "Could not connect to the server."},
           {{"--identity-mode", "status"}, "Request failed: internal server error (500)"},
           {{"--identity-mode", "html"}, "Request failed: unacceptable content-type: text/html"},
           {{"--identity-mode", "notjson"},
            "The data couldn\u2019t be read because it isn\u2019t in the correct format."},
           {{"--identity-mode", "silent"}, "The request timed out.", kShortTimeout}},
          [](const Services& services, const Row&) { EXPECT_TRUE(services.requests("vault").isEmpty()); });
}

TEST(ServerStartup, CertificateFailuresEndTheChain) {
  const QString noIdentity = QStringLiteral("An error occurred while establish secure connection.");
  runRows({{{"--vault-mode", "closed"}, "Could not connect to the server."},
           {{"--vault-mode", "status"}, "Request failed: internal server error (500)"},
           {{"--vault-mode", "html"}, "Request failed: unacceptable content-type: text/html"},
           {{"--vault-mode", "silent"}, "The request timed out.", kShortTimeout},
           // A token reply without access_token: the vault refuses the empty bearer.
           {{"--identity-mode", "nomember"}, "Request failed: unauthorized (401)"},
           {{"--vault-mode", "nomember"}, noIdentity},
           {{"--vault-mode", "badpem"}, noIdentity},
           {{"--vault-mode", "othercn"}, noIdentity}});
}

TEST(ServerStartup, UnwritableCertificateFileIsLoggedAndTheChainGoesOn) {
  const QString work = zuvo::paths::temporaryDirectory() + "/SecureHTTPServer";
  ASSERT_TRUE(QDir().mkpath(work + "/certificate.pem"));
  zuvo::test::writeFile(work + "/certificate.pem/keep", "x");
  Services services({});
  ASSERT_TRUE(services.ready());
  Server server(services, zuvo::test::makeTempDir("data"));
  EXPECT_TRUE(server.waitForLine(
      [](const QString& l) { return l.startsWith("An error occurred while writing certificate : "); }))
      << server.log().toStdString();
  EXPECT_TRUE(server.waitForLine(
      [](const QString& l) { return l == "An error occurred while establish secure connection."; }))
      << server.log().toStdString();
  zuvo::test::spin(300ms);
  EXPECT_TRUE(server.running());
}

TEST(ServerStartup, PortTakenIsLoggedAndTheProgramKeepsRunning) {
  QTcpServer other;
  ASSERT_TRUE(other.listen(QHostAddress::LocalHost, 8443));
  Services services({});
  ASSERT_TRUE(services.ready());
  Server server(services, zuvo::test::makeTempDir("data"));
  EXPECT_TRUE(server.waitForLine([](const QString& l) { return l.startsWith("Error starting HTTP Server: "); }))
      << server.log().toStdString();
  zuvo::test::spin(500ms);
  EXPECT_TRUE(server.running());
  EXPECT_EQ(workFiles().join(", ").toStdString(), "");
}

// A first start that serves, leaving its identity in the data home: that start's CA and
// certificate.
void serveOnce(const QString& data, QString* ca, QByteArray* certificate) {
  Services services({});
  ASSERT_TRUE(services.ready());
  Server server(services, data);
  ASSERT_TRUE(waitUntilServing(services.ca())) << server.log().toStdString();
  *ca = services.ca();
  *certificate = services.bridgeCertificate();
}

int labelledCertificates() {
  int labelled = 0;
  for (const auto& c : zuvo::keychain::certificates()) labelled += c.label == kHost;
  return labelled;
}

TEST(ServerStartup, AnIdentityInTheKeychainIsReplacedByTheNewCertificate) {
  const QString data = zuvo::test::makeTempDir("data");
  QString firstCa;
  QByteArray first;
  ASSERT_NO_FATAL_FAILURE(serveOnce(data, &firstCa, &first));
  // New stand-ins: a new CA and a new certificate, which only the replaced identity can serve.
  Services services({});
  ASSERT_TRUE(services.ready());
  Server server(services, data);
  ASSERT_TRUE(waitUntilServing(services.ca())) << server.log().toStdString();

  qputenv("XDG_DATA_HOME", data.toLocal8Bit());
  const auto identities = zuvo::keychain::identities();
  EXPECT_EQ(labelledCertificates(), 1);
  ASSERT_EQ(identities.size(), 1u);
  EXPECT_NE(services.bridgeCertificate(), first);
  EXPECT_EQ(derOf(identities[0]), QSslCertificate(services.bridgeCertificate()).toDer());
}

TEST(ServerStartup, AValidStoredIdentityServesWhenTheChainFailsAndTheChainIsTriedAgain) {
  const QString data = zuvo::test::makeTempDir("data");
  QString firstCa;
  QByteArray first;
  ASSERT_NO_FATAL_FAILURE(serveOnce(data, &firstCa, &first));
  const Row rows[] = {
      {{"--vault-mode", "badpem"}, "An error occurred while establish secure connection."},
      {{"--vault-mode", "othercn"}, "An error occurred while establish secure connection."},
      {{"--identity-mode", "closed"}, "Could not connect to the server."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.services.join(' ').toStdString());
    Services services(row.services);
    ASSERT_TRUE(services.ready());
    Server server(services, data, {"ZUVO_STARTUP_RETRY_MS=300"});
    // Served with the identity of the first start (its CA, not the new stand-ins').
    ASSERT_TRUE(waitUntilServing(firstCa)) << server.log().toStdString();
    // The pauses grow: 0.3 s, 0.6 s, 1.2 s.
    EXPECT_TRUE(server.waitForLine([](const QString& l) { return l.endsWith("tried again in 1.2 s"); }, 20s))
        << server.log().toStdString();
    EXPECT_GE(server.lines().count(row.message), 3) << server.log().toStdString();

    qputenv("XDG_DATA_HOME", data.toLocal8Bit());
    const auto identity = zuvo::keychain::identities();
    ASSERT_FALSE(identity.empty());
    EXPECT_EQ(zuvo::keychain::findCertificate(kHost)->itemId, identity[0].certificate.itemId);
    EXPECT_EQ(labelledCertificates(), 1);
    EXPECT_EQ(derOf(identity[0]), QSslCertificate(first).toDer());
    qunsetenv("XDG_DATA_HOME");
  }
}

TEST(ServerStartup, SigtermStopsTheServerAndKeepsTheLastLogLines) {
  Services services({});
  ASSERT_TRUE(services.ready());
  const QString data = zuvo::test::makeTempDir("data");
  Server server(services, data);
  ASSERT_TRUE(waitUntilServing(services.ca())) << server.log().toStdString();
  // Information lines are written behind the caller's back: many are still queued when the
  // signal comes.
  // curl forgets a transfer's options at --next.
  const QStringList each{"-sS", "--resolve", kHost + ":8443:127.0.0.1", "--cacert", services.ca(), "-o", "/dev/null",
                         "--data-binary", "{}", "https://" + kHost + ":8443/?application=PrintDoc"};
  QStringList args = each;
  for (int i = 1; i < 200; ++i) args << "--next" << each;
  ASSERT_EQ(zuvo::test::runProgram("curl", args), 0);
  EXPECT_TRUE(server.terminateAndWait());

  QByteArray log;
  const QDir logs(data + "/ZuvoDocV30/Logs");
  for (const QString& f : logs.entryList(QDir::Files, QDir::Name)) log += zuvo::test::readFile(logs.filePath(f));
  EXPECT_EQ(log.count("| Request received for PrintDoc\n"), 200);
  EXPECT_TRUE(log.endsWith("| Request received for PrintDoc\n"));
}
