#include "bridge_server/ViewControllers/MyHTTPConnection.h"

#include "bridge_server/DDKeychain.h"

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
  return zuvo::bridge::requestRefusal(head, zuvo::bridge::deploymentAllowedOrigins());
}

void MyHTTPConnection::requestRefused(int status, const zuvo::http::RequestHead& head) {
  zuvo::bridge::reportRefusal(services_, zuvo::bridge::refusalLine(status, head));
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
