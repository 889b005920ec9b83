#include "bridge_server/AppDelegate.h"

#include "Deployment.h"
#include "bridge_server/DDKeychain.h"
#include "bridge_server/ViewControllers/MyHTTPConnection.h"
#include "common/Log.h"
#include "platform/Bonjour.h"
#include "platform/HttpClient.h"
#include "platform/Keychain.h"
#include "platform/Paths.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace {

const QString kHostName = QString::fromUtf8(zuvo::deployment::kLocalServerHostName);

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
      [](const zuvo::http::Result& r) { zuvo::logError(r.error.description); });
}

void AppDelegate::getCert(const QString& accessToken) {
  auto manager = zuvo::http::SessionManager::manager();
  manager->setValue(QStringLiteral("Bearer %1").arg(accessToken), QStringLiteral("Authorization"));
  manager->setResponseSerializer(zuvo::http::Serializer::Json);
  manager->setAcceptableContentTypes({"application/json"});
  manager->GET(
      serviceUrl(zuvo::deployment::kKeyVaultBaseUrl, QStringLiteral("/secrets/zaduravuzodaveda?api-version=7.3")),
      {}, [this](const zuvo::http::Result& r) { installIdentity(r.json); },
      [](const zuvo::http::Result& r) { zuvo::logError(r.error.description); });
}

void AppDelegate::installIdentity(const QJsonValue& reply) {
  // The old certificate goes first, so the search afterwards finds the new identity.
  if (!DDKeychain::SSLIdentityAndCertificates().isEmpty()) {
    if (const auto old = zuvo::keychain::findCertificate(kHostName))
      zuvo::keychain::deleteItem(old->itemId);
  }

  const QJsonValue value = reply.toObject().value("value");
  if (value.isString()) {
    QString error;
    if (!DDKeychain::writeCertificatePEM(value.toString().toUtf8(), &error))
      zuvo::logError(QStringLiteral("An error occurred while writing certificate : %1").arg(error));
  }

  DDKeychain::createNewIdentity();

  if (DDKeychain::SSLIdentityAndCertificates().isEmpty()) {
    zuvo::logError("An error occurred while establish secure connection.");
    return;
  }
  startServer();
}

void AppDelegate::startServer() {
  httpServer = std::make_unique<zuvo::http::HTTPServer>();
  httpServer->setType(QStringLiteral("_http._tcp."));
  httpServer->setInterface(QStringLiteral("loopback"));
  httpServer->setPort(8443);
  httpServer->setConnectionClass<MyHTTPConnection>();
  QString error;
  if (!httpServer->start(&error)) {
    zuvo::logError(QStringLiteral("Error starting HTTP Server: %1").arg(error));
    return;
  }
  zuvo::bonjour::advertise(httpServer->type(), httpServer->port());
}
