#include "platform/HTTPServer.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

namespace zuvo::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

bool HTTPConnection::supportsMethod(std::string_view method, std::string_view) {
  return method == "GET" || method == "POST" || method == "HEAD";
}

bool HTTPConnection::expectsRequestBodyFromMethod(std::string_view method, std::string_view) {
  return method == "POST";
}

std::unique_ptr<HTTPResponse> HTTPConnection::httpResponseForMethod(std::string_view, std::string_view) {
  return nullptr;
}

namespace {

constexpr std::chrono::seconds kHandshakeTimeout(30);
constexpr std::chrono::seconds kIdleTimeout(60);
constexpr std::chrono::seconds kBodyTimeout(60);
constexpr std::chrono::seconds kShutdownTimeout(2);
constexpr std::uint32_t kHeaderLimit = 64 * 1024;

// The HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT"), independent of the C locale.
std::string httpDate() {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  gmtime_r(&now, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
                months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

int sessionIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket&& socket, ssl::context& context, std::unique_ptr<HTTPConnection> connection)
      : stream_(std::move(socket), context), connection_(std::move(connection)) {}

  HTTPConnection& connection() { return *connection_; }

  void run() {
    asio::dispatch(stream_.get_executor(), beast::bind_front_handler(&Session::onRun, shared_from_this()));
  }

 private:
  using Response = bhttp::response<bhttp::string_body>;

  void onRun() {
    if (!connection_ || !connection_->isSecureServer()) return closeSocket();
    SSL_set_ex_data(stream_.native_handle(), sessionIndex(), this);
    beast::get_lowest_layer(stream_).expires_after(kHandshakeTimeout);
    stream_.async_handshake(ssl::stream_base::server,
                            beast::bind_front_handler(&Session::onHandshake, shared_from_this()));
  }

  void onHandshake(error_code ec) {
    if (ec) return closeSocket();
    readHeader();
  }

  // The peer closed, went silent or the server is stopping: nothing to answer.
  static bool peerGone(const error_code& ec) {
    return ec == asio::error::eof || ec == bhttp::error::end_of_stream || ec == beast::error::timeout ||
           ec == ssl::error::stream_truncated || ec == asio::error::operation_aborted;
  }

  void readHeader() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(HTTPServer::kMaxBodySize);
    beast::get_lowest_layer(stream_).expires_after(kIdleTimeout);
    bhttp::async_read_header(stream_, buffer_, *parser_,
                             beast::bind_front_handler(&Session::onHeader, shared_from_this()));
  }

  void onHeader(error_code ec, std::size_t) {
    if (peerGone(ec)) return closeSocket();
    // The parser refuses an announced length over the limit while reading the header.
    if (ec == bhttp::error::body_limit) return sendError(413, true);
    if (ec) return sendError(400, true);
    auto& req = parser_->get();
    method_ = std::string(req.method_string());
    target_ = std::string(req.target());
    const std::string_view path = std::string_view(target_).substr(0, target_.find('?'));
    keepAlive_ = req.keep_alive();
    version_ = req.version();
    if (!connection_->supportsMethod(method_, path)) return sendError(405, true);
    RequestHead head{method_, target_, std::nullopt, std::nullopt, 0};
    const auto field = [&req](bhttp::field name) -> std::optional<std::string_view> {
      const auto it = req.find(name);
      if (it == req.end()) return std::nullopt;
      return std::string_view(it->value().data(), it->value().size());
    };
    head.host = field(bhttp::field::host);
    head.origin = field(bhttp::field::origin);
    error_code ignored;
    head.localPort = beast::get_lowest_layer(stream_).socket().local_endpoint(ignored).port();
    if (const int refusal = connection_->refusalForRequest(head)) return sendError(refusal, true);
    if (parser_->content_length() && *parser_->content_length() > HTTPServer::kMaxBodySize)
      return sendError(413, true);
    bodyExpected_ = connection_->expectsRequestBodyFromMethod(method_, path);
    if (parser_->is_done()) return respond();
    if (beast::iequals(req[bhttp::field::expect], "100-continue")) {
      auto cont = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_, version_);
      bhttp::async_write(stream_, *cont, [self = shared_from_this(), cont](error_code ec, std::size_t) {
        if (ec) return self->closeSocket();
        self->readBody();
      });
      return;
    }
    readBody();
  }

  void readBody() {
    beast::get_lowest_layer(stream_).expires_after(kBodyTimeout);
    bhttp::async_read(stream_, buffer_, *parser_, beast::bind_front_handler(&Session::onBody, shared_from_this()));
  }

  void onBody(error_code ec, std::size_t) {
    if (ec == bhttp::error::body_limit) return sendError(413, true);
    if (peerGone(ec)) return closeSocket();
    if (ec) return sendError(400, true);
    respond();
  }

  void respond() {
    std::string& body = parser_->get().body();
    if (bodyExpected_) {
      connection_->prepareForBodyWithSize(body.size());
      if (!body.empty()) connection_->processBodyData(body);
      connection_->finishBody();
    }
    std::string().swap(body);
    std::unique_ptr<HTTPResponse> answer = connection_->httpResponseForMethod(method_, target_);
    if (!answer) return sendError(404, false);

    auto res = std::make_shared<Response>(static_cast<bhttp::status>(answer->status), version_);
    res->set(bhttp::field::date, httpDate());
    res->set(bhttp::field::accept_ranges, "bytes");
    res->set(bhttp::field::access_control_allow_origin, "*");
    for (const auto& [name, value] : answer->headers) res->insert(name, value);
    const std::size_t size = std::size_t(answer->body.size());
    if (method_ != "HEAD") res->body().assign(answer->body.constData(), size);
    res->content_length(size);
    write(res, !keepAlive_);
  }

  void sendError(int status, bool close) {
    auto res = std::make_shared<Response>(static_cast<bhttp::status>(status), version_ ? version_ : 11);
    res->set(bhttp::field::date, httpDate());
    res->set(bhttp::field::accept_ranges, "bytes");
    res->content_length(0);
    write(res, close || !keepAlive_);
  }

  void write(const std::shared_ptr<Response>& res, bool close) {
    if (close) res->set(bhttp::field::connection, "close");
    else res->keep_alive(true);
    if (version_ == 11 && !close) res->erase(bhttp::field::connection);
    beast::get_lowest_layer(stream_).expires_after(kBodyTimeout);
    bhttp::async_write(stream_, *res, [self = shared_from_this(), res, close](error_code ec, std::size_t) {
      if (ec) return self->closeSocket();
      if (close) return self->shutdown();
      self->readHeader();
    });
  }

  void shutdown() {
    beast::get_lowest_layer(stream_).expires_after(kShutdownTimeout);
    stream_.async_shutdown([self = shared_from_this()](error_code) { self->closeSocket(); });
  }

  void closeSocket() {
    error_code ignored;
    beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(stream_).close();
  }

  beast::ssl_stream<beast::tcp_stream> stream_;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  std::unique_ptr<HTTPConnection> connection_;
  std::string method_;
  std::string target_;
  unsigned version_ = 11;
  bool keepAlive_ = false;
  bool bodyExpected_ = false;
};

// Asks the connection of this handshake for its identity.
int chooseCertificate(SSL* ssl, void*) {
  auto* session = static_cast<Session*>(SSL_get_ex_data(ssl, sessionIndex()));
  if (!session) return 0;
  const QList<keychain::Identity> identities = session->connection().sslIdentityAndCertificates();
  if (identities.isEmpty()) return 0;
  const keychain::Identity& id = identities.first();
  if (!id.certificate.x509 || !id.privateKey) return 0;
  if (SSL_use_certificate(ssl, id.certificate.x509.get()) != 1) return 0;
  if (SSL_use_PrivateKey(ssl, id.privateKey.get()) != 1) return 0;
  return 1;
}

}  // namespace

struct HTTPServer::Impl {
  QString type;
  QString interface = QStringLiteral("loopback");
  std::uint16_t port = 0;
  std::function<std::unique_ptr<HTTPConnection>()> factory;

  std::mutex mutex;
  std::unique_ptr<asio::io_context> io;
  std::unique_ptr<ssl::context> tls;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::vector<std::thread> threads;
  std::atomic<std::uint16_t> boundPort{0};

  void accept(tcp::acceptor& acceptor) {
    acceptor.async_accept(asio::make_strand(*io), [this, &acceptor](error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (!ec) {
        // Replies go out in several TLS records: without this, Nagle holds the later ones
        // back until the client's delayed acknowledgement.
        error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        std::unique_ptr<HTTPConnection> connection = factory ? factory() : nullptr;
        std::make_shared<Session>(std::move(socket), *tls, std::move(connection))->run();
      }
      accept(acceptor);
    });
  }
};

HTTPServer::HTTPServer() : d(std::make_unique<Impl>()) {}
HTTPServer::~HTTPServer() { stop(); }

void HTTPServer::setType(const QString& type) { d->type = type; }
QString HTTPServer::type() const { return d->type; }
void HTTPServer::setInterface(const QString& interface) { d->interface = interface; }
QString HTTPServer::interface() const { return d->interface; }
void HTTPServer::setPort(std::uint16_t port) { d->port = port; }
std::uint16_t HTTPServer::port() const { return d->port; }
void HTTPServer::setConnectionFactory(std::function<std::unique_ptr<HTTPConnection>()> factory) {
  d->factory = std::move(factory);
}
std::uint16_t HTTPServer::listeningPort() const { return d->boundPort; }

bool HTTPServer::isRunning() const {
  std::lock_guard lock(d->mutex);
  return d->io != nullptr;
}

bool HTTPServer::start(QString* error) {
  std::lock_guard lock(d->mutex);
  const auto fail = [&](const QString& text) {
    if (error) *error = text;
    d->acceptors.clear();
    d->tls.reset();
    d->io.reset();
    return false;
  };
  if (d->io) return fail(QStringLiteral("The server is already running"));
  if (!d->factory) return fail(QStringLiteral("No connection class is set"));

  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 4u, 16u);
  d->io = std::make_unique<asio::io_context>(int(threads));
  d->tls = std::make_unique<ssl::context>(ssl::context::tls_server);
  SSL_CTX_set_min_proto_version(d->tls->native_handle(), TLS1_2_VERSION);
  d->tls->set_options(ssl::context::default_workarounds | ssl::context::single_dh_use);
  SSL_CTX_set_cert_cb(d->tls->native_handle(), chooseCertificate, nullptr);

  struct Address {
    asio::ip::address address;
    bool optional;
  };
  std::vector<Address> addresses;
  const QString iface = d->interface.trimmed();
  if (iface.isEmpty() || iface == QLatin1String("loopback") || iface == QLatin1String("localhost")) {
    addresses = {{asio::ip::address_v4::loopback(), false}, {asio::ip::address_v6::loopback(), true}};
  } else {
    error_code ec;
    const auto address = asio::ip::make_address(iface.toStdString(), ec);
    if (ec) return fail(QStringLiteral("Unknown interface %1").arg(iface));
    addresses = {{address, false}};
  }

  std::uint16_t port = d->port;
  for (const Address& a : addresses) {
    const tcp::endpoint endpoint(a.address, port);
    auto acceptor = std::make_unique<tcp::acceptor>(asio::make_strand(*d->io));
    error_code ec;
    acceptor->open(endpoint.protocol(), ec);
    if (!ec && a.address.is_v6()) acceptor->set_option(asio::ip::v6_only(true), ec);
    // Lets a restarted server bind while old connections linger; on Linux it never lets two
    // listeners share the port.
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      const bool unavailable = ec == boost::system::errc::address_not_available ||
                               ec == asio::error::address_family_not_supported;
      if (a.optional && unavailable) continue;
      return fail(QStringLiteral("%1 (%2 port %3)")
                      .arg(QString::fromStdString(ec.message()), QString::fromStdString(a.address.to_string()))
                      .arg(port));
    }
    if (port == 0) port = acceptor->local_endpoint().port();
    d->acceptors.push_back(std::move(acceptor));
  }
  d->boundPort = port;
  for (auto& acceptor : d->acceptors) d->accept(*acceptor);
  for (unsigned i = 0; i < threads; ++i)
    d->threads.emplace_back([io = d->io.get()] {
      for (;;) {
        try {
          io->run();
          return;
        } catch (...) {
          // A hook that throws loses its connection, not the server.
        }
      }
    });
  return true;
}

void HTTPServer::stop() {
  std::lock_guard lock(d->mutex);
  if (!d->io) return;
  for (auto& acceptor : d->acceptors)
    asio::dispatch(acceptor->get_executor(), [a = acceptor.get()] {
      error_code ignored;
      a->close(ignored);
    });
  d->io->stop();
  for (std::thread& t : d->threads)
    if (t.joinable()) t.join();
  d->threads.clear();
  d->acceptors.clear();
  d->io.reset();
  d->tls.reset();
  d->boundPort = 0;
}

}  // namespace zuvo::http
