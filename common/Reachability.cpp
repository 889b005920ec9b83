#include "common/Reachability.h"

#include <QList>

#include <arpa/inet.h>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <thread>
#include <unistd.h>

namespace zuvo::reachability {
namespace {

bool isAddressLiteral(const QByteArray& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.constData(), buf) == 1 || inet_pton(AF_INET6, host.constData(), buf) == 1;
}

bool isLabel(QStringView label) {
  if (label.isEmpty() || label.size() > 63) return false;
  if (label.front() == QLatin1Char('-') || label.back() == QLatin1Char('-')) return false;
  for (QChar c : label) {
    const char16_t u = c.unicode();
    const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-';
    if (!ok) return false;
  }
  return true;
}

// A UDP "connection" only looks up a route; nothing goes on the wire.
bool hasRoute(const Address& address) {
  if (address.size() < sizeof(sa_family_t)) return false;
  sockaddr_storage ss{};
  if (address.size() > sizeof(ss)) return false;
  std::memcpy(&ss, address.data(), address.size());
  if (ss.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in&>(ss).sin_port = htons(443);
  } else if (ss.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6&>(ss).sin6_port = htons(443);
  } else {
    return false;
  }
  const int fd = ::socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&ss), socklen_t(address.size())) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

bool isValidHostName(const QString& hostName) {
  if (hostName.isEmpty()) return false;
  if (isAddressLiteral(hostName.toUtf8())) return true;
  QStringView name(hostName);
  if (name.endsWith(QLatin1Char('.'))) name.chop(1);
  if (name.isEmpty() || name.size() > 253) return false;
  for (QStringView label : name.split(QLatin1Char('.')))
    if (!isLabel(label)) return false;
  return true;
}

std::optional<std::vector<Address>> systemResolver(const QByteArray& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.constData(), nullptr, &hints, &res) != 0) return std::nullopt;
  std::vector<Address> out;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    const auto* p = reinterpret_cast<const unsigned char*>(ai->ai_addr);
    out.emplace_back(p, p + ai->ai_addrlen);
  }
  ::freeaddrinfo(res);
  return out;
}

std::optional<uint32_t> readFlags(const QString& hostName, const Resolver& resolver,
                                  std::chrono::milliseconds wait) {
  // The resolver cannot be interrupted: a late answer lands in the shared state and is dropped.
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::optional<std::vector<Address>> addresses;
  };
  auto state = std::make_shared<State>();
  try {
    std::thread([state, resolver, host = hostName.toUtf8()] {
      auto addresses = resolver(host);
      std::lock_guard lock(state->mutex);
      state->addresses = std::move(addresses);
      state->done = true;
      state->cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  std::unique_lock lock(state->mutex);
  if (!state->cv.wait_for(lock, wait, [&] { return state->done; })) return std::nullopt;
  if (!state->addresses) return 0u;
  for (const Address& a : *state->addresses)
    if (hasRoute(a)) return Reachability::kReachable;
  return 0u;
}

bool isHostReachable(const QString& hostName) {
  const std::unique_ptr<Reachability> probe = Reachability::reachabilityWithHostname(hostName);
  return probe && probe->isReachable();
}

}  // namespace zuvo::reachability

std::unique_ptr<Reachability> Reachability::reachabilityWithHostname(const QString& hostName) {
  if (!zuvo::reachability::isValidHostName(hostName)) return nullptr;
  return std::unique_ptr<Reachability>(new Reachability(hostName));
}

bool Reachability::isReachable() const {
  const std::optional<uint32_t> flags =
      zuvo::reachability::readFlags(hostName_, zuvo::reachability::systemResolver);
  return flags && isReachableWithFlags(*flags);
}

bool Reachability::isReachableWithFlags(uint32_t flags) {
  if (!(flags & kReachable)) return false;
  if ((flags & kConnectionRequired) && (flags & kTransientConnection)) return false;
  return true;
}
