// ZuvoLocalServer's application delegate: the start-up chain (configuration, token,
// certificate, TLS identity) that ends in the bridge's HTTPS server, all on the main thread.
// A failure is logged and ends the chain. When a valid identity from an earlier start is
// stored, the server serves with it and the chain is tried again after growing pauses;
// otherwise the program keeps running without a server. A fetched certificate replaces the
// stored one only once it has become a valid identity.
#pragma once

#include "bridge_server/Crypto.h"
#include "platform/net/HTTPServer.h"

#include <QJsonValue>
#include <QObject>
#include <QString>

#include <chrono>
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
  bool startServer();
  void chainFailed(const QString& message);

  std::chrono::milliseconds retryPause_{0};  // the last pause before a new try; 0 = none yet
};
