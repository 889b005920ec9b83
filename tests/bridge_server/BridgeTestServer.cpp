// The bridge's HTTPS server with its real connection class, for tests and the benchmark.
//   bridge_test_server [--pem <key and certificate PEM>] [--port <n>]
// With --pem the PEM is turned into the keychain identity first (as at server start-up).
// Prints "listening <port>" once it serves; exits 2 when the server cannot start, 3 when
// there is no identity.
#include "bridge_server/DDKeychain.h"
#include "platform/fs/Paths.h"
#include "bridge_server/ViewControllers/MyHTTPConnection.h"
#include "common/Log.h"
#include "platform/net/HTTPServer.h"
#include "platform/process/TerminationSignals.h"

#include <QApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv) {
  QString pem;
  std::uint16_t port = 8443;
  for (int i = 1; i + 1 < argc; i += 2) {
    const QByteArray opt = argv[i];
    if (opt == "--pem") pem = QFile::decodeName(argv[i + 1]);
    else if (opt == "--port") port = std::uint16_t(QByteArray(argv[i + 1]).toUInt());
  }
  int qargc = 1;
  QApplication app(qargc, argv);
  app.setQuitOnLastWindowClosed(false);
  zuvo::quitOnTerminationSignals();
  zuvo::setupLog(zuvo::paths::logsFolder(), QStringLiteral("com.roza.zuvolocalserver"), QStringLiteral("ZuvoLocalServer"));

  if (!pem.isEmpty()) {
    QFile f(pem);
    if (!f.open(QIODevice::ReadOnly) || !DDKeychain::writeCertificatePEM(f.readAll())) return 4;
    DDKeychain::createNewIdentity();
  }
  if (DDKeychain::SSLIdentityAndCertificates().isEmpty()) {
    zuvo::logError(QStringLiteral("An error occurred while establish secure connection."));
    return 3;
  }
  zuvo::http::HTTPServer server;
  server.setType(QStringLiteral("_http._tcp."));
  server.setInterface(QStringLiteral("loopback"));
  server.setPort(port);
  server.setConnectionClass<MyHTTPConnection>();
  QString error;
  if (!server.start(&error)) {
    zuvo::logError(QStringLiteral("Error starting HTTP Server: %1").arg(error));
    return 2;
  }
  std::printf("listening %u\n", unsigned(server.listeningPort()));
  std::fflush(stdout);
  const int status = app.exec();
  server.stop();
  zuvo::flushLog();
  return status;
}
