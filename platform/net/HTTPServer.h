// A small HTTPS server: a server object with type, interface, port and connection class,
// and a connection class whose hooks a subclass overrides to answer requests.
//
// One connection object is made per accepted connection; its hooks run one after the other
// on one of the server's IO threads (never the main thread), always the same one, several
// connections at a time. TLS only: the connection is asked for its identity at every
// handshake. Connections are kept alive between requests; the request target is handed over
// exactly as received.
//
// Limits: at most kMaxConnections open at once (further ones are closed at accept); a request
// header of more than kMaxHeaderSize bytes in all is answered 431 and the connection closed;
// a connection that has not sent a whole request (handshake, header and body) within
// kRequestTimeout of the previous reply, or of its start, is closed.
//
// Headers written: "Date", "Accept-Ranges: bytes", "Access-Control-Allow-Origin: *" (normal
// responses only), the response's own headers and "Content-Length"; error responses (no
// response from the connection = 404, unsupported method = 405 with "Connection: close",
// body over the limit = 413 with "Connection: close", header over the limit = 431 with
// "Connection: close", a request the connection refuses with its status and
// "Connection: close", malformed request = 400) carry no body.
#pragma once

#include "platform/net/Keychain.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zuvo::http {

// A data response: status, body and headers of its own.
struct HTTPResponse {
  int status = 200;
  QByteArray body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// What is known of a request once its header is read: the method, the raw target, the
// Host and Origin headers (nullopt when absent) and the local port it came in on.
struct RequestHead {
  std::string_view method;
  std::string_view target;
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
  std::uint16_t localPort = 0;
};

class HTTPConnection {
 public:
  virtual ~HTTPConnection() = default;

  // Only secure connections are served; one that says NO is closed at once.
  virtual bool isSecureServer() { return false; }
  // The TLS identity for the handshake (first element used); empty = handshake fails.
  virtual QList<keychain::Identity> sslIdentityAndCertificates() { return {}; }
  // GET, HEAD and POST; anything else is answered 405. The path is the target before "?".
  virtual bool supportsMethod(std::string_view method, std::string_view path);
  // Whether the body is handed to the hooks below (YES for POST). A body that is not
  // expected is read and dropped.
  virtual bool expectsRequestBodyFromMethod(std::string_view method, std::string_view path);
  // 0 to serve a supported request; otherwise the error status it gets at once, before its
  // body is read, with "Connection: close".
  virtual int refusalForRequest(const RequestHead& head) {
    (void)head;
    return 0;
  }
  // A request answered with an error status before it reached httpResponseForMethod: 400
  // (malformed), 405, 413, 431 or the status of refusalForRequest. `head` holds what the
  // parser had read of it: for a 400 or 431 perhaps nothing but the port.
  virtual void requestRefused(int status, const RequestHead& head) {
    (void)status;
    (void)head;
  }
  virtual void prepareForBodyWithSize(std::uint64_t contentLength) { (void)contentLength; }
  virtual void processBodyData(std::string_view data) { (void)data; }
  virtual void finishBody() {}
  // The response for the request, or nullptr for the 404. `uri` is the raw request target.
  virtual std::unique_ptr<HTTPResponse> httpResponseForMethod(std::string_view method, std::string_view uri);
};

// Serves bytes as one connection's decrypted input through the same request handling as a
// TLS connection (parser, limits, hooks) and returns what the connection sends back. For the
// fuzz target and its replay test.
std::string serveDecryptedBytes(HTTPConnection& connection, std::string_view input);

class HTTPServer {
 public:
  static constexpr std::uint64_t kMaxBodySize = 8u * 1024 * 1024;
  static constexpr std::uint32_t kMaxHeaderSize = 16 * 1024;
  static constexpr int kMaxConnections = 256;
  static constexpr std::chrono::milliseconds kRequestTimeout{30000};

  HTTPServer();
  ~HTTPServer();  // stops the server
  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  // The service type to advertise ("_http._tcp."); kept for the advertiser.
  void setType(const QString& type);
  QString type() const;
  // "loopback" (or "localhost"): 127.0.0.1 and also ::1 when the system has it; otherwise
  // one numeric address.
  void setInterface(const QString& interface);
  QString interface() const;
  void setPort(std::uint16_t port);  // 0 = any free port (see listeningPort)
  std::uint16_t port() const;

  template <class Connection>
  void setConnectionClass() {
    setConnectionFactory([] { return std::make_unique<Connection>(); });
  }
  void setConnectionFactory(std::function<std::unique_ptr<HTTPConnection>()> factory);

  // Binds and starts serving. A port already taken (by anyone, this program included) is an
  // error: false with the system's reason.
  bool start(QString* error = nullptr);
  void stop();
  bool isRunning() const;
  std::uint16_t listeningPort() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d;
};

}  // namespace zuvo::http
