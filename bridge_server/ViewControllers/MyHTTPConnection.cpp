#include "bridge_server/ViewControllers/MyHTTPConnection.h"

#include "bridge_server/DDKeychain.h"
#include "common/Log.h"

MyHTTPConnection::MyHTTPConnection() : services_(zuvo::bridge::systemBridgeServices()) {}

MyHTTPConnection::MyHTTPConnection(zuvo::bridge::BridgeServices services) : services_(std::move(services)) {}

bool MyHTTPConnection::isSecureServer() { return true; }

QList<zuvo::keychain::Identity> MyHTTPConnection::sslIdentityAndCertificates() {
  QList<zuvo::keychain::Identity> identity = DDKeychain::SSLIdentityAndCertificates();
  if (!identity.isEmpty()) return identity;
  DDKeychain::createNewIdentity();
  return DDKeychain::SSLIdentityAndCertificates();
}

bool MyHTTPConnection::supportsMethod(std::string_view method, std::string_view) {
  return method == "GET" || method == "POST" || method == "HEAD";
}

bool MyHTTPConnection::expectsRequestBodyFromMethod(std::string_view method, std::string_view path) {
  if (method == "POST") return true;
  return HTTPConnection::expectsRequestBodyFromMethod(method, path);
}

int MyHTTPConnection::refusalForRequest(const zuvo::http::RequestHead& head) {
  const int refusal = zuvo::bridge::requestRefusal(head, zuvo::bridge::deploymentAllowedOrigins());
  if (refusal) {
    const auto text = [](const std::optional<std::string_view>& v) {
      return v ? zuvo::loggableValue(QString::fromLatin1(v->data(), qsizetype(v->size()))) : QStringLiteral("(none)");
    };
    zuvo::logInfo(
        QStringLiteral("Request refused (%1): Host %2, Origin %3").arg(refusal).arg(text(head.host), text(head.origin)));
  }
  return refusal;
}

void MyHTTPConnection::prepareForBodyWithSize(std::uint64_t) { postData_ = QByteArray(); }

void MyHTTPConnection::processBodyData(std::string_view data) {
  postData_.append(data.data(), qsizetype(data.size()));
}

void MyHTTPConnection::finishBody() {}

std::unique_ptr<zuvo::http::HTTPResponse> MyHTTPConnection::httpResponseForMethod(std::string_view method,
                                                                                  std::string_view uri) {
  // The body belongs to this request only: a later GET on the connection must not see it.
  const QByteArray body = std::exchange(postData_, QByteArray());
  zuvo::bridge::BridgeReply reply = zuvo::bridge::dispatchBridgeRequest(method, uri, body);
  zuvo::bridge::performBridgeActions(reply.actions, services_);
  if (reply.status != 200) return nullptr;
  auto response = std::make_unique<zuvo::http::HTTPResponse>();
  response->status = 200;
  response->body = std::move(reply.body);
  return response;
}
