#include "support/FakeDocumentServer.h"

#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSslSocket>
#include <QTcpSocket>

namespace zuvo::test {

QJsonObject FakeReply::toJson() const {
  QJsonObject o;
  o["status"] = status;
  QJsonArray hs;
  for (const auto& [name, value] : headers)
    hs.append(QJsonArray{QString::fromLatin1(name), QString::fromLatin1(value)});
  o["headers"] = hs;
  if (!bodyFile.isEmpty())
    o["body_file"] = bodyFile;
  else
    o["body_base64"] = QString::fromLatin1(body.toBase64());
  if (delaySeconds > 0) o["delay"] = delaySeconds;
  if (drop) o["drop"] = true;
  if (hold) o["hold"] = true;
  return o;
}

QByteArray JournaledRequest::header(const QByteArray& name) const {
  for (const auto& [n, v] : headers)
    if (n.compare(name, Qt::CaseInsensitive) == 0) return v;
  return {};
}

FakeDocumentServer::FakeDocumentServer() : dir_(makeTempDir(QStringLiteral("docserver"))) {}

FakeDocumentServer::~FakeDocumentServer() { stop(); }

bool FakeDocumentServer::route(const QString& key, const FakeReply& reply) {
  return route(key, QList<FakeReply>{reply});
}

bool FakeDocumentServer::route(const QString& key, const QList<FakeReply>& replies) {
  QJsonArray list;
  for (const auto& r : replies) list.append(r.toJson());
  if (!isRunning()) {
    routes_[key] = list;
    return true;
  }
  QJsonObject one;
  one[key] = list;
  return control("/__fake/routes", QJsonDocument(one).toJson(QJsonDocument::Compact));
}

void FakeDocumentServer::setDefault(const FakeReply& reply) { default_ = reply.toJson(); }

void FakeDocumentServer::useTls(const QString& certPem, const QString& keyPem) {
  cert_ = certPem;
  key_ = keyPem;
}

bool FakeDocumentServer::start() {
  if (isRunning()) return true;
  QJsonObject config;
  config["routes"] = routes_;
  if (!default_.isEmpty()) config["default"] = default_;
  const QString configPath = dir_ + QStringLiteral("/config.json");
  const QString portPath = dir_ + QStringLiteral("/port");
  QFile::remove(portPath);
  if (!writeFile(configPath, QJsonDocument(config).toJson())) return false;

  QStringList args{sourcePath(QStringLiteral("tests/fixtures/fake_document_server.py")),
                   QStringLiteral("--config"), configPath, QStringLiteral("--port-file"), portPath,
                   QStringLiteral("--journal"), journalPath()};
  if (!cert_.isEmpty()) args << QStringLiteral("--cert") << cert_ << QStringLiteral("--key") << key_;
  process_ = std::make_unique<QProcess>();
  process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_->start(QStringLiteral("/usr/bin/python3"), args);
  if (!process_->waitForStarted()) {
    process_.reset();
    return false;
  }
  const bool up = waitUntil(
      [&] { return QFile::exists(portPath) || process_->state() == QProcess::NotRunning; });
  port_ = quint16(readFile(portPath).trimmed().toUInt());
  if (!up || port_ == 0) {
    stop();
    return false;
  }
  return true;
}

void FakeDocumentServer::stop() {
  if (!process_) return;
  if (process_->state() != QProcess::NotRunning) {
    process_->terminate();
    if (!process_->waitForFinished(5000)) {
      process_->kill();
      process_->waitForFinished(5000);
    }
  }
  process_.reset();
}

bool FakeDocumentServer::isRunning() const {
  return process_ && process_->state() == QProcess::Running;
}

QString FakeDocumentServer::url(const QString& pathAndQuery) const {
  return QStringLiteral("%1://127.0.0.1:%2%3")
      .arg(cert_.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"))
      .arg(port_)
      .arg(pathAndQuery);
}

QList<JournaledRequest> FakeDocumentServer::requests() const {
  QList<JournaledRequest> out;
  for (const QJsonObject& o : readJsonLines(journalPath())) {
    JournaledRequest r;
    r.seq = o["seq"].toInt();
    r.time = o["time"].toDouble();
    r.method = o["method"].toString().toLatin1();
    r.target = o["target"].toString().toLatin1();
    r.path = o["path"].toString().toLatin1();
    r.query = o["query"].toString().toLatin1();
    r.version = o["version"].toString().toLatin1();
    for (const QJsonValue& h : o["headers"].toArray())
      r.headers.append({h[0].toString().toLatin1(), h[1].toString().toLatin1()});
    r.body = QByteArray::fromBase64(o["body_base64"].toString().toLatin1());
    out.append(r);
  }
  return out;
}

QList<JournaledRequest> FakeDocumentServer::requestsTo(const QByteArray& path) const {
  QList<JournaledRequest> out;
  for (const auto& r : requests())
    if (r.path == path) out.append(r);
  return out;
}

bool FakeDocumentServer::waitForRequests(int count, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return requests().size() >= count; }, timeout);
}

bool FakeDocumentServer::release() { return control("/__fake/release", "{}"); }

bool FakeDocumentServer::control(const QByteArray& path, const QByteArray& body) {
  std::unique_ptr<QTcpSocket> socket;
  if (cert_.isEmpty()) {
    socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QStringLiteral("127.0.0.1"), port_);
  } else {
    auto ssl = std::make_unique<QSslSocket>();
    ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
    ssl->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port_);
    socket = std::move(ssl);
  }
  if (!socket->waitForConnected(5000)) return false;
  if (auto* ssl = qobject_cast<QSslSocket*>(socket.get()); ssl && !ssl->waitForEncrypted(5000))
    return false;
  socket->write("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
  QByteArray answer;
  while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(5000))
    answer += socket->readAll();
  answer += socket->readAll();
  return answer.startsWith("HTTP/1.1 200");
}

}  // namespace zuvo::test
