// A full TLS 1.3 handshake per request, without session resumption (no tickets, no cache):
// what wrk's "Connection: close" does not measure. Each connection sends one CheckScan
// request and reads the reply to the end.
//   handshake_client <host name> <port> <seconds> [connections at once]
// Prints: connections/s, p50 and p99 of one connection (connect to last reply byte), errors.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool oneConnection(SSL_CTX* ctx, const std::string& host, int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(std::uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, host.c_str());
    if (SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), int(request.size())) == int(request.size())) {
      char buf[4096];
      std::string reply;
      int n;
      while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) reply.append(buf, std::size_t(n));
      ok = reply.compare(0, 12, "HTTP/1.1 200") == 0 && reply.find("CheckScan") != std::string::npos;
    }
    SSL_free(ssl);
  }
  ::close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <host name> <port> <seconds> [connections at once]\n", argv[0]);
    return 2;
  }
  const std::string host = argv[1];
  const int port = std::atoi(argv[2]);
  const double seconds = std::atof(argv[3]);
  const int parallel = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  const std::string request = "GET /?application=CheckScan HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                              "\r\nConnection: close\r\n\r\n";

  const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::mutex mutex;
  std::vector<double> latencies;  // microseconds
  std::atomic<long> errors{0};
  const Clock::time_point begin = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < parallel; ++t)
    threads.emplace_back([&] {
      std::vector<double> mine;
      while (Clock::now() < end) {
        const Clock::time_point start = Clock::now();
        if (oneConnection(ctx, host, port, request))
          mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        else
          ++errors;
      }
      std::lock_guard lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  std::sort(latencies.begin(), latencies.end());
  const auto pct = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, std::size_t(p * double(latencies.size())))];
  };
  std::printf("connections/s %.1f p50 %.0fus p99 %.0fus done %zu errors %ld\n", double(latencies.size()) / elapsed,
              pct(0.50), pct(0.99), latencies.size(), errors.load());
  SSL_CTX_free(ctx);
  return 0;
}
