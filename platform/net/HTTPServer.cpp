#include "platform/net/HTTPServer.h"

#include "platform/core/TestHooks.h"
#include "platform/net/TlsStream.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

namespace zuvo::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

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

constexpr std::chrono::seconds kShutdownTimeout(2);
constexpr std::chrono::milliseconds kFirstAcceptPause(10);
constexpr std::chrono::milliseconds kLongestAcceptPause(1000);

// The HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT"), independent of the C locale; made once a
// second per thread.
const std::string& httpDate() {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  thread_local std::time_t made = -1;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now == made) return text;
  std::tm tm {};
  gmtime_r(&now, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
                months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  text = buf;
  made = now;
  return text;
}

int connectionIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::chrono::milliseconds requestTimeout() {
  return testhooks::httpRequestTimeout().value_or(std::chrono::milliseconds(HTTPServer::kRequestTimeout));
}

// The open connections, in all and on each IO thread.
struct ConnectionCounts {
  explicit ConnectionCounts(std::size_t threads) : perThread(threads) {}
  std::atomic<int> open{0};
  std::vector<std::atomic<int>> perThread;
};

// Holds one place among the server's open connections.
class ConnectionSlot {
 public:
  ConnectionSlot(std::shared_ptr<ConnectionCounts> counts, std::size_t thread)
      : counts_(std::move(counts)), thread_(thread) {
    ++counts_->perThread[thread_];
  }
  ConnectionSlot(ConnectionSlot&& other) noexcept : counts_(std::move(other.counts_)), thread_(other.thread_) {}
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;
  ~ConnectionSlot() {
    if (!counts_) return;
    --counts_->perThread[thread_];
    --counts_->open;
  }

 private:
  std::shared_ptr<ConnectionCounts> counts_;
  std::size_t thread_;
};

using PlainStream = beast::test::stream;

// One connection: TLS handshake, then requests one after the other. Every step runs on the
// connection's own single-threaded io_context. One deadline covers the wait for a whole
// request (header and body) and the writing of its reply.
template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

 public:
  template <class... Args>
  Session(HTTPConnection* connection, std::chrono::milliseconds timeout, Args&&... streamArgs)
      : stream_(std::forward<Args>(streamArgs)...),
        timer_(stream_.get_executor()),
        connection_(connection),
        timeout_(timeout) {}

  void own(std::unique_ptr<HTTPConnection> connection, ConnectionSlot slot) {
    owned_ = std::move(connection);
    slot_.emplace(std::move(slot));
  }

  Stream& stream() { return stream_; }
  // The port the connection came in on: every listener has the server's one port.
  void setLocalPort(std::uint16_t port) { localPort_ = port; }

  void run() {
    asio::dispatch(stream_.get_executor(), beast::bind_front_handler(&Session::onRun, this->shared_from_this()));
  }

 private:
  void onRun() {
    if (!connection_ || !connection_->isSecureServer()) return closeSocket();
    armDeadline();
    if constexpr (kTls) {
      SSL_set_ex_data(stream_.native_handle(), connectionIndex(), connection_);
      stream_.async_handshake(beast::bind_front_handler(&Session::onHandshake, this->shared_from_this()));
    } else {
      readHeader();
    }
  }

  void onHandshake(error_code ec) {
    if (ec) return closeSocket();
    readHeader();
  }

  // The deadline is a time; the one timer wakes only when it may have passed.
  void armDeadline() {
    deadline_ = Clock::now() + timeout_;
    if (timerRunning_) return;
    timerRunning_ = true;
    timer_.expires_at(deadline_);
    timer_.async_wait(beast::bind_front_handler(&Session::onTimer, this->shared_from_this()));
  }

  void onTimer(error_code ec) {
    timerRunning_ = false;
    if (ec || closed_) return;
    if (Clock::now() < deadline_) {
      timerRunning_ = true;
      timer_.expires_at(deadline_);
      timer_.async_wait(beast::bind_front_handler(&Session::onTimer, this->shared_from_this()));
      return;
    }
    closeSocket();
  }

  // The peer closed, went silent or the server is stopping: nothing to answer.
  static bool peerGone(const error_code& ec) {
    return ec == asio::error::eof || ec == bhttp::error::end_of_stream || ec == ssl::error::stream_truncated ||
           ec == asio::error::operation_aborted || ec == asio::error::connection_reset ||
           ec == asio::error::bad_descriptor;
  }

  void readHeader() {
    parser_.emplace();
    parser_->header_limit(HTTPServer::kMaxHeaderSize);
    parser_->body_limit(HTTPServer::kMaxBodySize);
    headerBytes_ = 0;
    armDeadline();
    readHeaderPart();
  }

  // The parser's own limit holds per read; the sum over the reads is counted here.
  void readHeaderPart() {
    bhttp::async_read_some(stream_, buffer_, *parser_,
                           beast::bind_front_handler(&Session::onHeaderPart, this->shared_from_this()));
  }

  void onHeaderPart(error_code ec, std::size_t used) {
    if (closed_) return;
    if (ec == bhttp::error::header_limit) return refuse(431);
    if (ec == bhttp::error::body_limit) return refuse(413);
    if (peerGone(ec)) return closeSocket();
    if (ec && ec != bhttp::error::need_more) return refuse(400);
    headerBytes_ += used;
    if (!parser_->is_header_done()) {
      if (headerBytes_ > HTTPServer::kMaxHeaderSize) return refuse(431);
      return readHeaderPart();
    }
    onHeader();
  }

  void onHeader() {
    auto& req = parser_->get();
    method_.assign(req.method_string().data(), req.method_string().size());
    target_.assign(req.target().data(), req.target().size());
    const std::string_view path = std::string_view(target_).substr(0, target_.find('?'));
    keepAlive_ = req.keep_alive();
    version_ = req.version();
    if (!connection_->supportsMethod(method_, path)) return refuse(405);
    const RequestHead head = readHead();
    if (const int refusal = connection_->refusalForRequest(head)) return refuse(refusal, head);
    if (parser_->content_length() && *parser_->content_length() > HTTPServer::kMaxBodySize)
      return refuse(413, head);
    bodyExpected_ = connection_->expectsRequestBodyFromMethod(method_, path);
    if (parser_->is_done()) return respond();
    if (beast::iequals(req[bhttp::field::expect], "100-continue")) {
      auto cont = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_, version_);
      bhttp::async_write(stream_, *cont, [self = this->shared_from_this(), cont](error_code ec, std::size_t) {
        if (ec) return self->closeSocket();
        self->readBody();
      });
      return;
    }
    readBody();
  }

  void readBody() {
    bhttp::async_read(stream_, buffer_, *parser_,
                      beast::bind_front_handler(&Session::onBody, this->shared_from_this()));
  }

  void onBody(error_code ec, std::size_t) {
    if (closed_) return;
    if (ec == bhttp::error::body_limit) return refuse(413);
    if (peerGone(ec)) return closeSocket();
    if (ec) return refuse(400);
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
    startHead(answer->status);
    head_ += "Access-Control-Allow-Origin: *\r\n";
    for (const auto& [name, value] : answer->headers) {
      // A header text with a line break would split the reply.
      if (name.find_first_of("\r\n") != std::string::npos || value.find_first_of("\r\n") != std::string::npos) continue;
      head_.append(name).append(": ").append(value).append("\r\n");
    }
    const std::size_t size = std::size_t(answer->body.size());
    replyBody_ = method_ == "HEAD" ? QByteArray() : std::move(answer->body);
    write(size, !keepAlive_);
  }

  // What is known of the request: as much of its head as the parser has read, and the port.
  RequestHead readHead() const {
    RequestHead head{{}, {}, std::nullopt, std::nullopt, localPort_};
    if (!parser_) return head;
    const auto& req = parser_->get();
    head.method = std::string_view(req.method_string().data(), req.method_string().size());
    head.target = std::string_view(req.target().data(), req.target().size());
    const auto field = [&req](bhttp::field name) -> std::optional<std::string_view> {
      const auto it = req.find(name);
      if (it == req.end()) return std::nullopt;
      return std::string_view(it->value().data(), it->value().size());
    };
    head.host = field(bhttp::field::host);
    head.origin = field(bhttp::field::origin);
    return head;
  }

  // An error reply before the request reaches the connection's answer; the connection is
  // told first, then closed after the reply.
  void refuse(int status) { refuse(status, readHead()); }
  void refuse(int status, const RequestHead& head) {
    connection_->requestRefused(status, head);
    sendError(status, true);
  }

  void sendError(int status, bool close) {
    startHead(status);
    replyBody_.clear();
    write(0, close || !keepAlive_);
  }

  // The status line and the headers every reply carries; the head text is reused.
  void startHead(int status) {
    head_.assign(version_ == 10 ? "HTTP/1.0 " : "HTTP/1.1 ");
    head_.append(std::to_string(status)).append(" ");
    const auto reason = bhttp::obsolete_reason(static_cast<bhttp::status>(status));
    head_.append(reason.data(), reason.size()).append("\r\nDate: ").append(httpDate()).append("\r\nAccept-Ranges: bytes\r\n");
  }

  void write(std::size_t contentLength, bool close) {
    head_.append("Content-Length: ").append(std::to_string(contentLength)).append("\r\n");
    if (close) head_.append("Connection: close\r\n");
    else if (version_ == 10) head_.append("Connection: keep-alive\r\n");
    head_.append("\r\n");
    armDeadline();
    if constexpr (kTls) {
      if (close) stream_.holdWritesForShutdown();
    }
    const std::array<asio::const_buffer, 2> buffers{asio::buffer(head_),
                                                   asio::buffer(replyBody_.constData(), std::size_t(replyBody_.size()))};
    asio::async_write(stream_, buffers, [self = this->shared_from_this(), close](error_code ec, std::size_t) {
      if (ec || self->closed_) return self->closeSocket();
      if (close) return self->shutdown();
      self->readHeader();
    });
  }

  void shutdown() {
    if constexpr (kTls) {
      deadline_ = Clock::now() + kShutdownTimeout;
      // Our close_notify is sent, the peer's not waited for: the reply is complete and the
      // socket is closed anyway.
      SSL_set_shutdown(stream_.native_handle(), SSL_RECEIVED_SHUTDOWN);
      stream_.async_shutdown([self = this->shared_from_this()](error_code) { self->closeSocket(); });
    } else {
      closeSocket();
    }
  }

  void closeSocket() {
    if (closed_) return;
    closed_ = true;
    error_code ignored;
    timer_.cancel(ignored);
    if constexpr (kTls) {
      beast::get_lowest_layer(stream_).close(ignored);
    } else {
      stream_.close();
    }
  }

  Stream stream_;
  asio::steady_timer timer_;
  Clock::time_point deadline_;
  bool timerRunning_ = false;
  bool closed_ = false;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  std::string head_;
  QByteArray replyBody_;
  HTTPConnection* connection_;
  std::unique_ptr<HTTPConnection> owned_;
  std::optional<ConnectionSlot> slot_;
  std::chrono::milliseconds timeout_;
  std::size_t headerBytes_ = 0;
  std::string method_;
  std::string target_;
  unsigned version_ = 11;
  std::uint16_t localPort_ = 0;
  bool keepAlive_ = false;
  bool bodyExpected_ = false;
};

// The context's identity, which every new TLS connection starts with. Only the acceptors'
// thread, which also makes every connection's SSL object, changes it.
struct ContextIdentity {
  SSL_CTX* context = nullptr;
  std::function<void(std::function<void()>)> onAcceptorThread;
  std::mutex mutex;
  X509* pending = nullptr;  // being set; not asked for again meanwhile
};

// Asks the connection of this handshake for its identity. When it is the one the context
// already carries, nothing is left to do; otherwise it is set on this connection and the
// context takes it for the next ones.
int chooseCertificate(SSL* ssl, void* arg) {
  auto* connection = static_cast<HTTPConnection*>(SSL_get_ex_data(ssl, connectionIndex()));
  if (!connection) return 0;
  const QList<keychain::Identity> identities = connection->sslIdentityAndCertificates();
  if (identities.isEmpty()) return 0;
  const keychain::Identity& id = identities.first();
  if (!id.certificate.x509 || !id.privateKey) return 0;
  if (SSL_get_certificate(ssl) == id.certificate.x509.get()) return 1;
  if (SSL_use_certificate(ssl, id.certificate.x509.get()) != 1) return 0;
  if (SSL_use_PrivateKey(ssl, id.privateKey.get()) != 1) return 0;
  auto* shared = static_cast<ContextIdentity*>(arg);
  if (shared && shared->onAcceptorThread) {
    std::lock_guard lock(shared->mutex);
    if (shared->pending == id.certificate.x509.get()) return 1;
    shared->pending = id.certificate.x509.get();
    shared->onAcceptorThread([shared, cert = id.certificate.x509, key = id.privateKey] {
      // The context keeps its own references; the pair was checked on the connection above.
      if (SSL_CTX_use_certificate(shared->context, cert.get()) != 1 ||
          SSL_CTX_use_PrivateKey(shared->context, key.get()) != 1) {
        std::lock_guard lock(shared->mutex);
        shared->pending = nullptr;
      }
    });
  }
  return 1;
}

}  // namespace

std::string serveDecryptedBytes(HTTPConnection& connection, std::string_view input) {
  // Kept between calls: a new io_context costs more than serving most inputs.
  thread_local asio::io_context io(1);
  io.restart();
  PlainStream remote(io);
  auto session = std::make_shared<Session<PlainStream>>(&connection, requestTimeout(), io);
  session->stream().connect(remote);
  remote.write_some(asio::buffer(input.data(), input.size()));
  remote.close();
  session->run();
  io.run();
  return std::string(remote.str());
}

struct HTTPServer::Impl {
  QString type;
  QString interface = QStringLiteral("loopback");
  std::uint16_t port = 0;
  std::function<std::unique_ptr<HTTPConnection>()> factory;

  std::mutex mutex;
  bool running = false;
  // One single-threaded io_context per IO thread; a connection stays on the one it was
  // given at accept. The acceptors live on the first.
  std::vector<std::unique_ptr<asio::io_context>> ios;
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::unique_ptr<ssl::context> tls;
  std::unique_ptr<ContextIdentity> contextIdentity;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::vector<std::unique_ptr<asio::steady_timer>> acceptPauses;
  std::vector<std::thread> threads;
  std::atomic<std::uint16_t> boundPort{0};
  std::shared_ptr<ConnectionCounts> counts;
  std::chrono::milliseconds timeout{kRequestTimeout};

  // The IO thread with the fewest connections, the acceptors' own first: a connection
  // served where it was accepted needs no hand-over.
  std::size_t leastLoaded() const {
    std::size_t best = 0;
    for (std::size_t i = 1; i < ios.size(); ++i)
      if (counts->perThread[i] < counts->perThread[best]) best = i;
    return best;
  }

  void accept(std::size_t which, std::chrono::milliseconds pause) {
    acceptors[which]->async_accept([this, which, pause](error_code ec, tcp::socket socket) {
      tcp::acceptor& acceptor = *acceptors[which];
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (ec) {
        // Out of descriptors or memory: the connection waits in the backlog; trying again
        // at once would only spin.
        asio::steady_timer& timer = *acceptPauses[which];
        timer.expires_after(pause);
        timer.async_wait([this, which, pause](error_code ec) {
          if (!ec) accept(which, std::min(pause * 2, kLongestAcceptPause));
        });
        return;
      }
      if (counts->open.fetch_add(1) >= kMaxConnections) {
        --counts->open;
        error_code ignored;
        socket.close(ignored);
        return accept(which, kFirstAcceptPause);
      }
      try {
        const std::size_t thread = leastLoaded();
        ConnectionSlot slot(counts, thread);
        if (thread != 0) {
          const auto protocol = acceptor.local_endpoint().protocol();
          tcp::socket moved(*ios[thread]);
          error_code failed;
          const int fd = socket.release(failed);
          if (!failed) moved.assign(protocol, fd, failed);
          if (failed) {
            if (fd >= 0) ::close(fd);
            throw boost::system::system_error(failed);
          }
          socket = std::move(moved);
        }
        // Replies go out in several TLS records: without this, Nagle holds the later ones
        // back until the client's delayed acknowledgement.
        error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        std::unique_ptr<HTTPConnection> connection = factory ? factory() : nullptr;
        HTTPConnection* hooks = connection.get();
        auto session = std::make_shared<Session<TlsStream>>(hooks, timeout, std::move(socket), *tls);
        session->own(std::move(connection), std::move(slot));
        session->setLocalPort(boundPort);
        session->run();
      } catch (...) {
        // No memory or descriptor for the connection (or its TLS state): it is dropped,
        // the server goes on.
      }
      accept(which, kFirstAcceptPause);
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
  return d->running;
}

bool HTTPServer::start(QString* error) {
  std::lock_guard lock(d->mutex);
  const auto fail = [&](const QString& text) {
    if (error) *error = text;
    d->acceptPauses.clear();
    d->acceptors.clear();
    d->work.clear();
    d->tls.reset();
    d->contextIdentity.reset();
    d->ios.clear();
    return false;
  };
  if (d->running) return fail(QStringLiteral("The server is already running"));
  if (!d->factory) return fail(QStringLiteral("No connection class is set"));

  // The clients are on this machine too (the browser, on loopback): half the cores serve,
  // which measured better than all of them once the clients compete for the rest.
  const unsigned threads = std::clamp(std::thread::hardware_concurrency() / 2, 2u, 8u);
  for (unsigned i = 0; i < threads; ++i) {
    d->ios.push_back(std::make_unique<asio::io_context>(1));
    d->work.push_back(asio::make_work_guard(*d->ios.back()));
    // Makes the io_context's descriptors (epoll, eventfd, timerfd) now: made lazily at
    // the first accepted connection they would fail just when descriptors run out.
    tcp::socket unopened(*d->ios.back());
    asio::steady_timer timer(*d->ios.back());
  }
  d->counts = std::make_shared<ConnectionCounts>(threads);
  d->timeout = requestTimeout();
  d->tls = std::make_unique<ssl::context>(ssl::context::tls_server);
  SSL_CTX_set_min_proto_version(d->tls->native_handle(), TLS1_2_VERSION);
  d->tls->set_options(ssl::context::default_workarounds | ssl::context::single_dh_use);
  d->contextIdentity = std::make_unique<ContextIdentity>();
  d->contextIdentity->context = d->tls->native_handle();
  d->contextIdentity->onAcceptorThread = [io = d->ios.front().get()](std::function<void()> work) {
    asio::post(*io, std::move(work));
  };
  SSL_CTX_set_cert_cb(d->tls->native_handle(), chooseCertificate, d->contextIdentity.get());
  // The identity is one certificate: no chain to look up in a store at every handshake.
  SSL_CTX_set_mode(d->tls->native_handle(), SSL_MODE_NO_AUTO_CHAIN);
  // Resumption by tickets only: a server-side session store would be searched and pruned
  // on every handshake for clients that never come back.
  SSL_CTX_set_session_cache_mode(d->tls->native_handle(),
                                 SSL_SESS_CACHE_SERVER | SSL_SESS_CACHE_NO_AUTO_CLEAR | SSL_SESS_CACHE_NO_INTERNAL_STORE);

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
    auto acceptor = std::make_unique<tcp::acceptor>(*d->ios.front());
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
      // Goes before its io_context, which the failure below ends.
      acceptor.reset();
      return fail(QStringLiteral("%1 (%2 port %3)")
                      .arg(QString::fromStdString(ec.message()), QString::fromStdString(a.address.to_string()))
                      .arg(port));
    }
    if (port == 0) port = acceptor->local_endpoint().port();
    d->acceptors.push_back(std::move(acceptor));
    d->acceptPauses.push_back(std::make_unique<asio::steady_timer>(*d->ios.front()));
  }
  d->boundPort = port;
  d->running = true;
  for (std::size_t i = 0; i < d->acceptors.size(); ++i) d->accept(i, kFirstAcceptPause);
  for (auto& io : d->ios)
    d->threads.emplace_back([io = io.get()] {
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
  if (!d->running) return;
  for (auto& acceptor : d->acceptors)
    asio::dispatch(acceptor->get_executor(), [a = acceptor.get()] {
      error_code ignored;
      a->close(ignored);
    });
  d->work.clear();
  for (auto& io : d->ios) io->stop();
  for (std::thread& t : d->threads)
    if (t.joinable()) t.join();
  d->threads.clear();
  d->acceptPauses.clear();
  d->acceptors.clear();
  // Connections still open end here, with their io_contexts.
  d->ios.clear();
  d->tls.reset();
  d->contextIdentity.reset();
  d->boundPort = 0;
  d->running = false;
}

}  // namespace zuvo::http
