#include "bridge_server/AppDelegate.h"

#include "Deployment.h"
#include "bridge_server/DDKeychain.h"
#include "bridge_server/ViewControllers/MyHTTPConnection.h"
#include "common/Log.h"
#include "platform/net/Bonjour.h"
#include "platform/net/HttpClient.h"
#include "platform/net/Keychain.h"
#include "platform/fs/Paths.h"
#include "platform/core/TestHooks.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>

namespace {

QUrl serviceUrl(const char* base, const QString& pathAndQuery) {
  return QUrl(QString::fromUtf8(base) + pathAndQuery, QUrl::StrictMode);
}

}  // namespace

void AppDelegate::applicationDidFinishLaunching() {
  zuvo::setupLog(zuvo::paths::logsFolder(), QStringLiteral("com.roza.zuvolocalserver"), QStringLiteral("ZuvoLocalServer"));
  crypto = std::make_unique<Crypto>();
  getCredentials();
}

void AppDelegate::applicationWillTerminate() {
  if (httpServer) httpServer->stop();
  zuvo::flushLog();
}

QString AppDelegate::applicationSupportDirectory() const {
  return zuvo::paths::applicationSupportDirectory();
}

void AppDelegate::getCredentials() {
  // The secret stays empty when the configuration cannot be had; the token request still goes.
  QString clientSecret;
  const zuvo::http::Result config = zuvo::http::syncGet(
      serviceUrl(zuvo::deployment::kConfigBaseUrl, QStringLiteral("/plugin/installer/PlugInConfig.json")));
  if (config.ok()) {
    const QJsonValue secret = QJsonDocument::fromJson(config.body).object().value("clientSecret");
    if (secret.isString()) clientSecret = secret.toString();
  }

  const QString tenant = crypto->t().join('-');
  const QString client = crypto->i().join('-');
  auto manager = zuvo::http::SessionManager::manager();
  manager->setResponseSerializer(zuvo::http::Serializer::Json);
  manager->setAcceptableContentTypes({"application/json"});
  manager->POST(
      serviceUrl(zuvo::deployment::kIdentityBaseUrl, QStringLiteral("/%1/oauth2/v2.0/token").arg(tenant)),
      {{QStringLiteral("grant_type"), QStringLiteral("client_credentials")},
       {QStringLiteral("client_id"), client},
       {QStringLiteral("client_secret"), clientSecret},
       {QStringLiteral("scope"), QString::fromUtf8(zuvo::deployment::kKeyVaultScope)}},
      [this](const zuvo::http::Result& r) {
        getCert(r.json.toObject().value("access_token").toString());
      },
      [this](const zuvo::http::Result& r) { chainFailed(r.error.description); });
}

void AppDelegate::getCert(const QString& accessToken) {
  auto manager = zuvo::http::SessionManager::manager();
  manager->setValue(QStringLiteral("Bearer %1").arg(accessToken), QStringLiteral("Authorization"));
  manager->setResponseSerializer(zuvo::http::Serializer::Json);
  manager->setAcceptableContentTypes({"application/json"});
  manager->GET(
      serviceUrl(zuvo::deployment::kKeyVaultBaseUrl, QStringLiteral("/secrets/zaduravuzodaveda?api-version=7.3")),
      {}, [this](const zuvo::http::Result& r) { installIdentity(r.json); },
      [this](const zuvo::http::Result& r) { chainFailed(r.error.description); });
}

void AppDelegate::installIdentity(const QJsonValue& reply) {
  const QJsonValue value = reply.toObject().value("value");
  QByteArray pem;
  if (value.isString()) {
    pem = value.toString().toUtf8();
    QString error;
    if (!DDKeychain::writeCertificatePEM(pem, &error))
      zuvo::logError(QStringLiteral("An error occurred while writing certificate : %1").arg(error));
  }

  DDKeychain::createNewIdentity();

  // The stored identity goes only once the fetched certificate has become a valid one: a bad
  // certificate or a failed import leaves the bridge what it had.
  const std::optional<zuvo::keychain::Identity> fresh = DDKeychain::validIdentityFor(pem);
  if (!fresh) {
    chainFailed(QStringLiteral("An error occurred while establish secure connection."));
    return;
  }
  DDKeychain::deleteOtherCertificates(*fresh);
  retryPause_ = std::chrono::milliseconds(0);
  if (!httpServer || !httpServer->isRunning()) startServer();
}

void AppDelegate::chainFailed(const QString& message) {
  zuvo::logError(message);
  if (!DDKeychain::validIdentity()) return;
  if ((!httpServer || !httpServer->isRunning()) && !startServer()) return;
  // Serving with the stored identity; the fetched one is tried again, less often each time.
  using namespace std::chrono_literals;
  retryPause_ = retryPause_ == 0ms ? zuvo::testhooks::startupRetryPause().value_or(30s)
                                   : std::min<std::chrono::milliseconds>(retryPause_ * 2, 1h);
  zuvo::logInfo(QStringLiteral("Serving with the stored identity; start-up is tried again in %1 s")
                    .arg(double(retryPause_.count()) / 1000.0));
  QTimer::singleShot(retryPause_, this, [this] { getCredentials(); });
}

bool AppDelegate::startServer() {
  httpServer = std::make_unique<zuvo::http::HTTPServer>();
  httpServer->setType(QStringLiteral("_http._tcp."));
  httpServer->setInterface(QStringLiteral("loopback"));
  httpServer->setPort(8443);
  httpServer->setConnectionClass<MyHTTPConnection>();
  QString error;
  if (!httpServer->start(&error)) {
    zuvo::logError(QStringLiteral("Error starting HTTP Server: %1").arg(error));
    return false;
  }
  zuvo::bonjour::advertise(httpServer->type(), httpServer->port());
  return true;
}
