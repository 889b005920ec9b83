// Starts and stops tests/fixtures/fake_document_server.py (a loopback HTTP server with canned
// replies) and reads the journal of the requests it received.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <chrono>
#include <memory>

class QProcess;

namespace zuvo::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct FakeReply {
  int status = 200;
  HeaderList headers{};
  QByteArray body{};
  QString bodyFile{};        // when set, served instead of body
  double delaySeconds = 0;   // waited after the request is read, before the reply
  bool drop = false;         // close the connection without a reply
  bool hold = false;         // wait for release() before the reply
  QJsonObject toJson() const;
};

struct JournaledRequest {
  int seq = 0;
  double time = 0;  // arrival, seconds since the epoch (the server's clock)
  QByteArray method;
  QByteArray target;  // raw, with query
  QByteArray path;    // raw, without query
  QByteArray query;
  QByteArray version;
  HeaderList headers;  // arrival order, names as sent
  QByteArray body;     // exact bytes (de-chunked)
  // First value of the header, name compared case-insensitively; empty when absent.
  QByteArray header(const QByteArray& name) const;
};

class FakeDocumentServer {
 public:
  FakeDocumentServer();
  ~FakeDocumentServer();
  FakeDocumentServer(const FakeDocumentServer&) = delete;
  FakeDocumentServer& operator=(const FakeDocumentServer&) = delete;

  // key: "/path", "METHOD /path", either with a trailing "*" for a prefix. Before start() the
  // route goes into the start-up configuration, afterwards through the control endpoint.
  // A list is served in turn, its last reply repeating. False when the server refused it.
  bool route(const QString& key, const FakeReply& reply);
  bool route(const QString& key, const QList<FakeReply>& replies);
  // Lets every held reply go, and those of later requests at once.
  bool release();
  // The reply to unmatched requests (404 with an empty body unless set); before start() only.
  void setDefault(const FakeReply& reply);

  // Serves HTTPS with this PEM certificate and key instead of HTTP; before start() only.
  void useTls(const QString& certPem, const QString& keyPem);

  // Starts the server and waits for its port; false when it did not come up.
  bool start();
  void stop();
  bool isRunning() const;

  quint16 port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https) followed by pathAndQuery, which starts with "/".
  QString url(const QString& pathAndQuery) const;
  QString journalPath() const { return dir_ + QStringLiteral("/journal.jsonl"); }

  // Every request journaled so far (control requests are not), in arrival order.
  QList<JournaledRequest> requests() const;
  // Only those whose path (without query) equals path.
  QList<JournaledRequest> requestsTo(const QByteArray& path) const;
  // Runs the Qt loop until at least count requests are journaled.
  bool waitForRequests(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  bool control(const QByteArray& path, const QByteArray& body);

  QString dir_;
  QJsonObject routes_;
  QJsonObject default_;
  QString cert_, key_;
  std::unique_ptr<QProcess> process_;
  quint16 port_ = 0;
};

}  // namespace zuvo::test
