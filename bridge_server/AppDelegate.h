// ZuvoLocalServer's application delegate: the start-up chain (configuration, token,
// certificate, TLS identity) that ends in the bridge's HTTPS server, all on the main thread.
// A failure is logged and ends the chain; the program then keeps running without a server.
#pragma once

#include "bridge_server/Crypto.h"
#include "platform/HTTPServer.h"

#include <QJsonValue>
#include <QObject>
#include <QString>

#include <memory>

class AppDelegate : public QObject {
 public:
  // Runs once the event loop is up: logging, crypto, then getCredentials.
  void applicationDidFinishLaunching();
  // At quit (SIGTERM and SIGINT included): the server stops accepting and its threads end,
  // then the log is flushed.
  void applicationWillTerminate();

  // The user's Application Support folder (where the log folder lives).
  QString applicationSupportDirectory() const;
  // Client secret from the plug-in configuration, then the token request.
  void getCredentials();
  // The certificate request with this access token, then identity and server.
  void getCert(const QString& accessToken);

  std::unique_ptr<zuvo::http::HTTPServer> httpServer;  // set once the identity exists
  std::unique_ptr<Crypto> crypto;

 private:
  void installIdentity(const QJsonValue& reply);
  void startServer();
};
