// The server's TLS stream on a real loopback connection, against a blocking OpenSSL client.
#include "platform/net/TlsStream.h"
#include "support/TestIdentity.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/write.hpp>

#include <openssl/err.h>

#include <arpa/inet.h>
#include <csignal>
#include <future>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace zuvo;
namespace asio = boost::asio;
using boost::system::error_code;
using namespace std::chrono_literals;

namespace {

// One server stream on an IO thread and one blocking client, connected.
class TlsPair {
 public:
  TlsPair() : context_(asio::ssl::context::tls_server), acceptor_(io_) {
    static const test::TestIdentity identity = test::makeTestIdentity("tls.localtest");
    context_.use_certificate_chain_file(identity.certFile.toStdString());
    context_.use_private_key_file(identity.keyFile.toStdString(), asio::ssl::context::pem);
    const asio::ip::tcp::endpoint at(asio::ip::address_v4::loopback(), 0);
    acceptor_.open(at.protocol());
    acceptor_.bind(at);
    acceptor_.listen();

    std::signal(SIGPIPE, SIG_IGN);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(acceptor_.local_endpoint().port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // A reply the server keeps back fails the test instead of hanging it.
    const timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    server_ = std::make_unique<http::TlsStream>(acceptor_.accept(), context_);

    static SSL_CTX* const client = [] {
      SSL_CTX* c = SSL_CTX_new(TLS_client_method());
      SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
      return c;
    }();
    ssl_ = SSL_new(client);
    SSL_set_fd(ssl_, fd_);
  }

  ~TlsPair() {
    work_.reset();
    if (running_) pthread_join(thread_, nullptr);
    server_.reset();
    SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
  }

  http::TlsStream& server() { return *server_; }
  SSL* client() { return ssl_; }
  int clientFd() const { return fd_; }
  // Closes the client's socket with a reset.
  void resetClient() {
    const linger reset{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd_);
    fd_ = -1;
  }

  // The IO thread starts with the given first step and runs until the work is released.
  // Its stack is small: completions calling each other without end overflow it.
  template <class F>
  void start(F first) {
    asio::post(io_, first);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    ASSERT_EQ(pthread_create(&thread_, &attr, [](void* io) -> void* {
      static_cast<asio::io_context*>(io)->run();
      return nullptr;
    }, &io_), 0);
    pthread_attr_destroy(&attr);
    running_ = true;
  }
  void finished() { asio::post(io_, [this] { work_.reset(); }); }

  // Reads until the server's close_notify or an error: the bytes, and whether it was clean.
  std::pair<std::string, bool> readToTheEnd() {
    std::string got;
    char buf[16384];
    for (;;) {
      const int n = SSL_read(ssl_, buf, sizeof buf);
      if (n > 0) {
        got.append(buf, std::size_t(n));
        continue;
      }
      return {got, SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN};
    }
  }

 private:
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{asio::make_work_guard(io_)};
  asio::ssl::context context_;
  asio::ip::tcp::acceptor acceptor_;
  std::unique_ptr<http::TlsStream> server_;
  pthread_t thread_{};
  bool running_ = false;
  int fd_ = -1;
  SSL* ssl_ = nullptr;
};

std::string pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = char('a' + (i * 7 + i / 4096) % 26);
  return s;
}

}  // namespace

// A short reply reaches the client while the server waits for more; a long one (a record
// at a time, most of them taken by the socket at once) arrives whole; a large last reply
// held for the shutdown (more than the socket takes while the client is not reading)
// arrives whole, followed by the close_notify.
TEST(TlsStream, RepliesArriveWholeAndTheLastOneWithTheCloseNotify) {
  TlsPair pair;
  const std::string longReply = pattern(32 * 1024 * 1024 + 5);
  const std::string big = pattern(8 * 1024 * 1024 + 123);
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  std::promise<error_code> ended;
  char request[64];
  std::function<void()> readMore;
  const auto first = [&] {
    http::TlsStream& s = pair.server();
    s.async_handshake([&](error_code ec) {
      if (ec) return ended.set_value(ec);
      s.async_read_some(asio::buffer(request), [&](error_code ec, std::size_t) {
        if (ec) return ended.set_value(ec);
        asio::async_write(s, asio::buffer("pong", 4), [&](error_code ec, std::size_t) {
          if (ec) return ended.set_value(ec);
          s.async_read_some(asio::buffer(request), [&](error_code ec, std::size_t) {
            if (ec) return ended.set_value(ec);
            asio::async_write(s, asio::buffer(longReply), [&](error_code ec, std::size_t) {
              if (ec) return ended.set_value(ec);
              readMore();
            });
          });
        });
      });
    });
  };
  readMore = [&] {
    http::TlsStream& s = pair.server();
    s.async_read_some(asio::buffer(request), [&](error_code ec, std::size_t) {
      if (ec) return ended.set_value(ec);
      s.holdWritesForShutdown();
      const std::array<asio::const_buffer, 2> reply{asio::buffer(head), asio::buffer(big)};
      asio::async_write(s, reply, [&](error_code ec, std::size_t n) {
        if (ec || n != head.size() + big.size()) return ended.set_value(ec ? ec : asio::error::message_size);
        s.async_shutdown([&](error_code ec) { ended.set_value(ec); });
      });
    });
  };
  pair.start(first);
  ASSERT_EQ(SSL_connect(pair.client()), 1);
  ASSERT_EQ(SSL_write(pair.client(), "ping", 4), 4);
  char pong[4];
  ASSERT_EQ(SSL_read(pair.client(), pong, 4), 4);
  EXPECT_EQ(std::string(pong, 4), "pong");
  ASSERT_EQ(SSL_write(pair.client(), "long", 4), 4);
  std::string got;
  char buf[16384];
  while (got.size() < longReply.size()) {
    const int n = SSL_read(pair.client(), buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.append(buf, std::size_t(n));
  }
  EXPECT_TRUE(got == longReply);
  ASSERT_EQ(SSL_write(pair.client(), "more", 4), 4);
  // Not reading for a while: the server's sends back up.
  std::this_thread::sleep_for(300ms);
  const auto [last, clean] = pair.readToTheEnd();
  EXPECT_TRUE(clean);
  EXPECT_EQ(last.size(), head.size() + big.size());
  EXPECT_TRUE(last == head + big);
  auto done = ended.get_future();
  ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
  const error_code shutdown = done.get();
  EXPECT_FALSE(shutdown) << shutdown.message();
  pair.finished();
}

// Records a client sent ahead are read in order in small pieces, while the stack stays
// where it was: a read served from bytes already received does not call the next one
// from inside itself without end.
TEST(TlsStream, RecordsSentAheadAreReadInOrderWithoutTheStackGrowing) {
  TlsPair pair;
  std::string sent;
  for (int i = 0; i < 3000; ++i) sent += "message " + std::to_string(i) + "\n";
  std::string got;
  std::promise<error_code> ended;
  char piece[5];
  std::uintptr_t lowest = UINTPTR_MAX, highest = 0;
  std::function<void(error_code, std::size_t)> onRead = [&](error_code ec, std::size_t n) {
    const char here = 0;
    lowest = std::min(lowest, reinterpret_cast<std::uintptr_t>(&here));
    highest = std::max(highest, reinterpret_cast<std::uintptr_t>(&here));
    if (ec) return ended.set_value(ec);
    got.append(piece, n);
    pair.server().async_read_some(asio::buffer(piece), onRead);
  };
  pair.start([&] {
    pair.server().async_handshake([&](error_code ec) {
      if (ec) return ended.set_value(ec);
      pair.server().async_read_some(asio::buffer(piece), onRead);
    });
  });
  ASSERT_EQ(SSL_connect(pair.client()), 1);
  // One record per message, all before the server reads the first.
  for (std::size_t at = 0; at < sent.size();) {
    const std::size_t end = sent.find('\n', at) + 1;
    ASSERT_GT(SSL_write(pair.client(), sent.data() + at, int(end - at)), 0);
    at = end;
  }
  SSL_shutdown(pair.client());
  auto done = ended.get_future();
  ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(done.get(), asio::error::eof);  // the client's close_notify
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size();
  EXPECT_LT(highest - lowest, 64u * 1024u);
  pair.finished();
}

// How a connection can end from the client's side, and what the server's operation says.
TEST(TlsStream, EachWayAConnectionEndsIsReportedAsItsError) {
  enum class End { plainHttp, closedWithoutCloseNotify, closeNotify, resetDuringALargeReply };
  const struct {
    End end;
    const char* name;
  } cases[] = {{End::plainHttp, "plain HTTP instead of a handshake"},
               {End::closedWithoutCloseNotify, "closed without close_notify"},
               {End::closeNotify, "close_notify"},
               {End::resetDuringALargeReply, "reset during a large reply"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsPair pair;
    const std::string big = pattern(16 * 1024 * 1024);
    std::promise<std::pair<const char*, error_code>> ended;
    char buf[64];
    pair.start([&] {
      http::TlsStream& s = pair.server();
      s.async_handshake([&](error_code ec) {
        if (ec) return ended.set_value({"handshake", ec});
        if (c.end == End::resetDuringALargeReply) {
          s.holdWritesForShutdown();
          return asio::async_write(s, asio::buffer(big), [&](error_code ec, std::size_t) {
            if (ec) return ended.set_value({"write", ec});
            s.async_shutdown([&](error_code ec) { ended.set_value({"shutdown", ec}); });
          });
        }
        s.async_read_some(asio::buffer(buf), [&](error_code ec, std::size_t) { ended.set_value({"read", ec}); });
      });
    });
    if (c.end == End::plainHttp) {
      const char get[] = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
      ASSERT_EQ(::send(pair.clientFd(), get, sizeof get - 1, MSG_NOSIGNAL), ssize_t(sizeof get - 1));
    } else {
      ASSERT_EQ(SSL_connect(pair.client()), 1);
      if (c.end == End::closeNotify) SSL_shutdown(pair.client());
      if (c.end == End::closedWithoutCloseNotify) ::shutdown(pair.clientFd(), SHUT_WR);
      if (c.end == End::resetDuringALargeReply) {
        char some[4096];
        ASSERT_GT(SSL_read(pair.client(), some, sizeof some), 0);
        pair.resetClient();
      }
    }
    auto done = ended.get_future();
    ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
    const auto [step, ec] = done.get();
    switch (c.end) {
      case End::plainHttp:
        EXPECT_STREQ(step, "handshake");
        EXPECT_EQ(ec.category(), asio::error::get_ssl_category()) << ec.message();
        break;
      case End::closedWithoutCloseNotify:
        EXPECT_STREQ(step, "read");
        EXPECT_EQ(ec, asio::ssl::error::stream_truncated) << ec.message();
        break;
      case End::closeNotify:
        EXPECT_STREQ(step, "read");
        EXPECT_EQ(ec, asio::error::eof) << ec.message();
        break;
      case End::resetDuringALargeReply:
        EXPECT_TRUE(ec) << step;
        break;
    }
    pair.finished();
  }
}
