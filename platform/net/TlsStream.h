#pragma once

// A server-side TLS stream straight over a TCP socket, for the HTTP server's connections.
// OpenSSL reads its records from one buffer that the socket fills and writes them to the
// socket itself: asio's own TLS stream passes every record through a second pair of buffers
// (a BIO pair, and 34 KB cleared for every connection).
//
// Its operations take completion handlers (not tokens) and run on the socket's executor,
// one at a time per direction, as asio's stream does. An operation that needs no waiting
// completes at once, unless a few such completions are already on the stack: then it is
// posted, so that a client sending request after request, or a long reply, cannot make
// the stack grow.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

namespace zuvo::http {

class TlsStream {
 public:
  using executor_type = boost::asio::ip::tcp::socket::executor_type;

  // Throws std::bad_alloc when OpenSSL has no memory for the connection.
  TlsStream(boost::asio::ip::tcp::socket&& socket, boost::asio::ssl::context& context);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  executor_type get_executor() { return socket_.get_executor(); }
  boost::asio::ip::tcp::socket& next_layer() { return socket_; }
  SSL* native_handle() { return ssl_; }

  // Handler: void(error_code).
  template <class Handler>
  void async_handshake(Handler&& handler) {
    drive(Kind::handshake, [](TlsStream& s, std::size_t&) { return SSL_do_handshake(s.ssl_); },
          [h = std::forward<Handler>(handler)](boost::system::error_code ec, std::size_t) mutable { std::move(h)(ec); });
  }

  // Handler: void(error_code, bytes). Reads into the first buffer that is not empty.
  template <class Buffers, class Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    const boost::asio::mutable_buffer to = first(buffers);
    if (to.size() == 0) return finish(std::forward<Handler>(handler), {}, 0);
    drive(Kind::read, [to](TlsStream& s, std::size_t& done) { return SSL_read_ex(s.ssl_, to.data(), to.size(), &done); },
          std::forward<Handler>(handler));
  }

  // Handler: void(error_code, bytes). Small buffers go out together, as one record.
  template <class Buffers, class Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    const boost::asio::const_buffer from = gather(buffers);
    if (from.size() == 0) return finish(std::forward<Handler>(handler), {}, 0);
    drive(Kind::write, [from](TlsStream& s, std::size_t& done) { return SSL_write_ex(s.ssl_, from.data(), from.size(), &done); },
          std::forward<Handler>(handler));
  }

  // Sends the close_notify, and everything held before it. Handler: void(error_code).
  template <class Handler>
  void async_shutdown(Handler&& handler) {
    // 0: ours is sent, the peer's has not come (it is not waited for).
    drive(Kind::shutdown,
          [](TlsStream& s, std::size_t&) {
            const int result = SSL_shutdown(s.ssl_);
            return result == 0 ? 1 : result;
          },
          [h = std::forward<Handler>(handler)](boost::system::error_code ec, std::size_t) mutable { std::move(h)(ec); });
  }

  // The next writes are held until the shutdown, which sends them with its close_notify:
  // a last reply then costs the socket one send, not two.
  void holdWritesForShutdown() { holdWrites_ = true; }

 private:
  enum class Next { done, read, write };
  enum class Kind { handshake, read, write, shutdown };

  // Runs one OpenSSL call until it needs nothing more from the socket. Attempt returns the
  // call's result and sets the bytes it moved. Records OpenSSL writes are held in the
  // output and sent when OpenSSL flushes (handshake messages), before the stream waits for
  // the peer, after a write (unless held for the shutdown) and at the shutdown.
  template <class Attempt, class Handler>
  void drive(Kind kind, Attempt attempt, Handler&& handler) {
    std::size_t moved = 0;
    boost::system::error_code ec;
    // Errors another connection left on this thread would be taken for this call's.
    ERR_clear_error();
    Next next = step(attempt(*this, moved), ec);
    if (next == Next::done) {
      if (ec && outputPending()) {
        // The alert that tells the peer why, if the socket takes it now.
        boost::system::error_code ignored;
        sendOutput(ignored);
      }
      const bool send = !ec && (kind == Kind::shutdown || (kind == Kind::write && !holdWrites_));
      if (!send) return finish(std::forward<Handler>(handler), ec, moved);
      return sendThenFinish(std::forward<Handler>(handler), moved);
    }
    if (next == Next::read && outputPending()) {
      if (!sendOutput(ec)) next = Next::write;  // the peer waits for what we hold
      else if (ec) return finish(std::forward<Handler>(handler), ec, 0);
    }
    if (next == Next::read) {
      socket_.async_read_some(boost::asio::buffer(input_.get() + inputEnd_, kInputSize - inputEnd_),
                              [this, kind, attempt, h = std::forward<Handler>(handler)](
                                  boost::system::error_code ec, std::size_t n) mutable {
                                if (received(ec, n)) return drive(kind, attempt, std::move(h));
                                std::move(h)(ec, std::size_t(0));
                              });
      return;
    }
    socket_.async_wait(boost::asio::socket_base::wait_write,
                       [this, kind, attempt, h = std::forward<Handler>(handler)](boost::system::error_code ec) mutable {
                         if (!ec) return drive(kind, attempt, std::move(h));
                         std::move(h)(ec, std::size_t(0));
                       });
  }

  // After a finished call: the held output goes to the socket, then the handler runs.
  template <class Handler>
  void sendThenFinish(Handler&& handler, std::size_t moved) {
    boost::system::error_code ec;
    if (sendOutput(ec)) return finish(std::forward<Handler>(handler), ec, ec ? 0 : moved);
    socket_.async_wait(boost::asio::socket_base::wait_write,
                       [this, moved, h = std::forward<Handler>(handler)](boost::system::error_code ec) mutable {
                         if (ec) return std::move(h)(ec, std::size_t(0));
                         sendThenFinish(std::move(h), moved);
                       });
  }

  // Completes at once, or posted when already a few levels deep: a read served from what
  // was already received, or a write the socket took at once, would otherwise recurse for
  // every request a client has sent ahead and every record of a long reply.
  template <class Handler>
  void finish(Handler&& handler, boost::system::error_code ec, std::size_t moved) {
    if (depth_ < kMostAtOnce) {
      ++depth_;
      std::forward<Handler>(handler)(ec, moved);
      --depth_;
      return;
    }
    boost::asio::post(socket_.get_executor(),
                      [h = std::forward<Handler>(handler), ec, moved]() mutable { std::move(h)(ec, moved); });
  }

  // What the result of an OpenSSL call asks for; sets the error of a finished one.
  Next step(int result, boost::system::error_code& ec);
  // Takes what the socket delivered into the input; false (and the error) when it ended.
  bool received(boost::system::error_code& ec, std::size_t n);
  bool outputPending() const { return outputSent_ < output_.size(); }
  // Sends the held output: true when all of it went (or ec is set), false when the socket
  // takes no more now.
  bool sendOutput(boost::system::error_code& ec);

  template <class Buffers>
  static boost::asio::mutable_buffer first(const Buffers& buffers) {
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it)
      if (boost::asio::mutable_buffer b(*it); b.size() != 0) return b;
    return {};
  }

  // One buffer as it is; several copied into one, up to a record's worth.
  template <class Buffers>
  boost::asio::const_buffer gather(const Buffers& buffers) {
    std::size_t count = 0;
    boost::asio::const_buffer only;
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it)
      if (boost::asio::const_buffer b(*it); b.size() != 0) {
        if (count++ == 0) only = b;
      }
    if (count <= 1 || only.size() >= kRecordSize) return only;
    gathered_.clear();
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::const_buffer b(*it);
      const std::size_t take = std::min(b.size(), kRecordSize - gathered_.size());
      gathered_.append(static_cast<const char*>(b.data()), take);
      if (gathered_.size() == kRecordSize) break;
    }
    return boost::asio::buffer(gathered_);
  }

  // Sends the held output for OpenSSL: false with the BIO's retry flag, or the error kept,
  // when it did not all go.
  static bool sendFromBio(BIO* bio, TlsStream* self);
  static int bioWrite(BIO* bio, const char* data, int size);
  static int bioRead(BIO* bio, char* data, int size);
  static long bioControl(BIO* bio, int command, long, void*);
  static BIO_METHOD* bioMethod();

  static constexpr std::size_t kInputSize = 16 * 1024 + 512;
  static constexpr std::size_t kRecordSize = 16 * 1024;
  // Output held beyond this is sent before more is taken.
  static constexpr std::size_t kMostHeld = 64 * 1024;
  static constexpr int kMostAtOnce = 4;

  boost::asio::ip::tcp::socket socket_;
  SSL* ssl_ = nullptr;
  // Received bytes OpenSSL has not taken yet: [inputBegin_, inputEnd_). Not cleared when made.
  std::unique_ptr<char[]> input_;
  std::size_t inputBegin_ = 0;
  std::size_t inputEnd_ = 0;
  // Records written by OpenSSL and not yet sent: [outputSent_, end).
  std::string output_;
  std::size_t outputSent_ = 0;
  int sendError_ = 0;
  bool holdWrites_ = false;
  int depth_ = 0;
  std::string gathered_;
};

}  // namespace zuvo::http
