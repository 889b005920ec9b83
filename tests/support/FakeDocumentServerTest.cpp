// The fake document server that the editor's download, upload and print tests rely on.
#include "support/FakeDocumentServer.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <gtest/gtest.h>

using namespace zuvo::test;

namespace {

struct Answer {
  int status = 0;
  QNetworkReply::NetworkError error = QNetworkReply::NoError;
  QByteArray body;
  QByteArray disposition;
};

Answer fetch(const QString& url, const QByteArray& method = "GET", const QByteArray& body = {}) {
  QNetworkAccessManager nam;
  QNetworkRequest req{QUrl(url)};
  req.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
  QNetworkReply* reply = nam.sendCustomRequest(req, method, body);
  EXPECT_TRUE(waitUntil([&] { return reply->isFinished(); }));
  Answer a;
  a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  a.error = reply->error();
  a.body = reply->readAll();
  a.disposition = reply->rawHeader("Content-Disposition");
  reply->deleteLater();
  return a;
}

}  // namespace

TEST(FakeDocumentServer, ServesConfiguredRoutesAndJournalsRawRequests) {
  FakeDocumentServer server;
  const QByteArray binary("\r\n--x\0\xff\x01tail", 12);
  server.route("/docs/a.docx", FakeReply{.status = 200,
                                         .headers = {{"Content-Disposition",
                                                      "attachment; filename*=UTF-8''b%20c.docx"}},
                                         .body = binary});
  server.route("POST /up/plugin/upload.php", QList<FakeReply>{{.status = 500}, {.status = 201}});
  server.route("/pre/*", FakeReply{.body = "prefix"});
  const QString file = makeTempDir() + "/served.bin";
  ASSERT_TRUE(writeFile(file, "from a file"));
  server.route("/file", FakeReply{.bodyFile = file});
  ASSERT_TRUE(server.start());

  struct Case {
    QString target;
    QByteArray method;
    int status;
    QByteArray body;
  } cases[] = {
      {"/docs/a.docx", "GET", 200, binary},
      {"/docs/a.docx?x=1%2B2", "GET", 200, binary},  // query ignored for matching
      {"/up/plugin/upload.php", "POST", 500, ""},   // replies in turn, the last repeats
      {"/up/plugin/upload.php", "POST", 201, ""},
      {"/up/plugin/upload.php", "POST", 201, ""},
      {"/up/plugin/upload.php", "GET", 404, ""},    // method-bound route
      {"/pre/deep/x", "GET", 200, "prefix"},
      {"/file", "GET", 200, "from a file"},
      {"/unknown", "GET", 404, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target.toStdString());
    const Answer a = fetch(server.url(c.target), c.method, c.method == "POST" ? binary : QByteArray());
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.body, c.body);
  }
  EXPECT_EQ(fetch(server.url("/docs/a.docx")).disposition, "attachment; filename*=UTF-8''b%20c.docx");

  const auto journal = server.requests();
  ASSERT_EQ(journal.size(), qsizetype(std::size(cases)) + 1);
  EXPECT_EQ(journal[1].target, "/docs/a.docx?x=1%2B2");
  EXPECT_EQ(journal[1].path, "/docs/a.docx");
  EXPECT_EQ(journal[1].query, "x=1%2B2");
  const auto uploads = server.requestsTo("/up/plugin/upload.php");
  ASSERT_EQ(uploads.size(), 4);
  EXPECT_EQ(uploads[0].method, "POST");
  EXPECT_EQ(uploads[0].body, binary);
  EXPECT_EQ(uploads[0].header("content-type"), "application/octet-stream");
  EXPECT_EQ(uploads[0].header("Content-Length"), QByteArray::number(binary.size()));
  for (int i = 0; i < journal.size(); ++i) EXPECT_EQ(journal[i].seq, i + 1);
}

TEST(FakeDocumentServer, RoutesChangeWhileRunningAndDelaysAndDropsApply) {
  FakeDocumentServer server;
  server.setDefault({.status = 410, .body = "gone"});
  ASSERT_TRUE(server.start());
  EXPECT_EQ(fetch(server.url("/late")).status, 410);

  ASSERT_TRUE(server.route("/late", FakeReply{.body = "late", .delaySeconds = 0.6}));
  ASSERT_TRUE(server.route("/drop", FakeReply{.drop = true}));
  QElapsedTimer t;
  t.start();
  const Answer late = fetch(server.url("/late"));
  EXPECT_EQ(late.body, "late");
  EXPECT_GE(t.elapsed(), 500);  // lower bound only: a loaded machine is only ever slower

  const Answer dropped = fetch(server.url("/drop"));
  EXPECT_NE(dropped.error, QNetworkReply::NoError);
  EXPECT_EQ(dropped.status, 0);
  // Control requests stay out of the journal (the client may resend the dropped GET once).
  for (const auto& r : server.requests()) EXPECT_TRUE(r.path == "/late" || r.path == "/drop") << r.path.constData();
  EXPECT_EQ(server.requestsTo("/late").size(), 2);
}
