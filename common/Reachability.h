// Can the network path to a host be used now? Asked once, synchronously, before a
// document transfer: create with the host name, ask isReachable(), drop the probe.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <sys/socket.h>

class Reachability {
 public:
  // Bits of the flag word.
  static constexpr uint32_t kTransientConnection = 0x1;
  static constexpr uint32_t kReachable = 0x2;
  static constexpr uint32_t kConnectionRequired = 0x4;

  // Null when the host name is empty or malformed (no probe is made then).
  static std::unique_ptr<Reachability> reachabilityWithHostname(const QString& hostName);

  // Reads the flags now; false when they cannot be read.
  bool isReachable() const;
  // The flag test.
  static bool isReachableWithFlags(uint32_t flags);

  const QString& hostName() const { return hostName_; }

 private:
  explicit Reachability(QString hostName) : hostName_(std::move(hostName)) {}
  QString hostName_;
};

namespace zuvo::reachability {

// Creates a probe for the host, asks it once and drops it.
bool isHostReachable(const QString& hostName);

// Host names a probe accepts: DNS names (labels of letters, digits and "-", a final dot
// allowed) and IP address literals.
bool isValidHostName(const QString& hostName);

// One resolved address, as sockaddr bytes.
using Address = std::vector<unsigned char>;
// Resolves a host name; no value when the name does not resolve.
using Resolver = std::function<std::optional<std::vector<Address>>(const QByteArray& host)>;

// The Linux flag source: the name is resolved on a worker, waited for at most `wait` (no
// value on time-out: the flags cannot be read); a UDP socket connected to an address (no
// datagram sent) proves a route and sets kReachable. A name that does not resolve gives 0.
std::optional<uint32_t> readFlags(const QString& hostName, const Resolver& resolver,
                                  std::chrono::milliseconds wait = std::chrono::seconds(2));
// getaddrinfo(3).
std::optional<std::vector<Address>> systemResolver(const QByteArray& host);

}  // namespace zuvo::reachability
