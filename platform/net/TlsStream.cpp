#include "platform/net/TlsStream.h"

#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>

namespace zuvo::http {

using boost::system::error_code;

TlsStream::TlsStream(boost::asio::ip::tcp::socket&& socket, boost::asio::ssl::context& context)
    : socket_(std::move(socket)), input_(new char[kInputSize]) {
  output_.reserve(4096);
  ssl_ = SSL_new(context.native_handle());
  BIO* bio = ssl_ ? BIO_new(bioMethod()) : nullptr;
  if (!bio) {
    SSL_free(ssl_);
    throw std::bad_alloc();
  }
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_accept_state(ssl_);
  // Writes may end part-way (the rest is asked for again) from a buffer that may move.
  // Not SSL_MODE_RELEASE_BUFFERS: the record buffers stay with the connection.
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Our own writes to the socket must not block; asio's operations need it too.
  error_code ignored;
  socket_.non_blocking(true, ignored);
}

TlsStream::~TlsStream() { SSL_free(ssl_); }

TlsStream::Next TlsStream::step(int result, error_code& ec) {
  if (result > 0) return Next::done;
  const int error = SSL_get_error(ssl_, result);
  switch (error) {
    case SSL_ERROR_WANT_READ:
      if (inputEnd_ == kInputSize) break;  // cannot happen: OpenSSL takes all it is given
      return Next::read;
    case SSL_ERROR_WANT_WRITE:
      return Next::write;
    case SSL_ERROR_ZERO_RETURN:
      ec = boost::asio::error::eof;
      return Next::done;
    case SSL_ERROR_SYSCALL:
      if (sendError_) {
        ec = error_code(sendError_, boost::system::system_category());
        sendError_ = 0;
        ERR_clear_error();
        return Next::done;
      }
      break;
    case SSL_ERROR_SSL:
      if (const unsigned long code = ERR_get_error()) {
        ec = error_code(int(code), boost::asio::error::get_ssl_category());
        ERR_clear_error();
        return Next::done;
      }
      break;
    default:
      break;
  }
  ERR_clear_error();
  ec = boost::asio::ssl::error::stream_truncated;
  return Next::done;
}

bool TlsStream::received(error_code& ec, std::size_t n) {
  if (ec == boost::asio::error::eof) ec = boost::asio::ssl::error::stream_truncated;
  if (ec) return false;
  if (n == 0) {
    ec = boost::asio::ssl::error::stream_truncated;
    return false;
  }
  inputEnd_ += n;
  return true;
}

int TlsStream::bioRead(BIO* bio, char* data, int size) {
  auto* self = static_cast<TlsStream*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const std::size_t available = self->inputEnd_ - self->inputBegin_;
  if (available == 0 || size <= 0) {
    BIO_set_retry_read(bio);
    return -1;
  }
  const std::size_t take = std::min(available, std::size_t(size));
  std::memcpy(data, self->input_.get() + self->inputBegin_, take);
  self->inputBegin_ += take;
  if (self->inputBegin_ == self->inputEnd_) self->inputBegin_ = self->inputEnd_ = 0;
  return int(take);
}

bool TlsStream::sendOutput(error_code& ec) {
  while (outputSent_ < output_.size()) {
    const ssize_t sent = ::send(socket_.native_handle(), output_.data() + outputSent_, output_.size() - outputSent_,
                                MSG_NOSIGNAL);
    if (sent >= 0) {
      outputSent_ += std::size_t(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    ec = error_code(errno, boost::system::system_category());
    break;
  }
  output_.clear();
  outputSent_ = 0;
  return true;
}

bool TlsStream::sendFromBio(BIO* bio, TlsStream* self) {
  error_code ec;
  if (!self->sendOutput(ec)) {
    BIO_set_retry_write(bio);
    return false;
  }
  if (ec) {
    self->sendError_ = ec.value();
    return false;
  }
  return true;
}

int TlsStream::bioWrite(BIO* bio, const char* data, int size) {
  auto* self = static_cast<TlsStream*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  if (self->output_.size() - self->outputSent_ >= kMostHeld && !sendFromBio(bio, self)) return -1;
  self->output_.append(data, std::size_t(size));
  return size;
}

long TlsStream::bioControl(BIO* bio, int command, long, void*) {
  if (command != BIO_CTRL_FLUSH) return 0;
  // OpenSSL flushes at the end of each handshake flight and after each ticket: sent at once,
  // the peer works on them while we go on.
  BIO_clear_retry_flags(bio);
  return sendFromBio(bio, static_cast<TlsStream*>(BIO_get_data(bio))) ? 1 : -1;
}

BIO_METHOD* TlsStream::bioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zuvo connection");
    BIO_meth_set_write(m, bioWrite);
    BIO_meth_set_read(m, bioRead);
    BIO_meth_set_ctrl(m, bioControl);
    return m;
  }();
  return method;
}

}  // namespace zuvo::http
