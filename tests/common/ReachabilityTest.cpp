#include "common/Reachability.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <thread>

namespace r = zuvo::reachability;

namespace {

r::Address ipv4(const char* text) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, text, &sa.sin_addr);
  const auto* p = reinterpret_cast<const unsigned char*>(&sa);
  return r::Address(p, p + sizeof sa);
}

r::Resolver fixed(std::optional<std::vector<r::Address>> answer) {
  return [answer](const QByteArray&) { return answer; };
}

}  // namespace

TEST(Reachability, FlagTest) {
  const struct {
    uint32_t flags;
    bool reachable;
  } cases[] = {
      {0x2, true}, {0x2 | 0x4, true}, {0x2 | 0x1, true}, {0x2 | 0x4 | 0x1, false},
      {0x4, false}, {0x1, false}, {0x4 | 0x1, false}, {0, false}, {0xFFFFFFF8u | 0x2, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Reachability::isReachableWithFlags(c.flags), c.reachable) << std::hex << c.flags;
}

TEST(Reachability, HostNamesThatGetNoProbe) {
  const struct {
    const char* name;
    bool probe;
  } cases[] = {
      {"localhost", true},  {"www.example.com", true}, {"example.com.", true}, {"a-b.c0", true},
      {"127.0.0.1", true},  {"::1", true},             {"", false},            {" ", false},
      {"a..b", false},      {".", false},              {"-a.com", false},      {"a-.com", false},
      {"a b.com", false},   {"a/b", false},            {"a_b.com", false},     {"ex\xc3\xa4mple.com", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Reachability::reachabilityWithHostname(QString::fromUtf8(c.name)) != nullptr, c.probe) << c.name;
  EXPECT_FALSE(Reachability::reachabilityWithHostname(QString(64, 'a') + ".com"));
  EXPECT_TRUE(Reachability::reachabilityWithHostname(QString(63, 'a') + ".com"));
  EXPECT_FALSE(r::isHostReachable("a..b"));  // no probe is made: not reachable
  EXPECT_FALSE(r::isHostReachable(""));
}

TEST(Reachability, FlagSourceOnTheLoopbackOnlyNetwork) {
  // Tests run in a network namespace with only loopback: a route exists to 127.0.0.1 only.
  const struct {
    const char* name;
    std::optional<std::vector<r::Address>> answer;
    std::optional<uint32_t> flags;
  } cases[] = {
      {"loopback", std::vector<r::Address>{ipv4("127.0.0.1")}, Reachability::kReachable},
      {"second address routes", std::vector<r::Address>{ipv4("192.0.2.1"), ipv4("127.0.0.1")}, Reachability::kReachable},
      {"unresolved", std::nullopt, 0u},
      {"no addresses", std::vector<r::Address>{}, 0u},
  };
  for (const auto& c : cases) EXPECT_EQ(r::readFlags("h", fixed(c.answer)), c.flags) << c.name;
  EXPECT_TRUE(r::isHostReachable("127.0.0.1"));
  EXPECT_TRUE(r::isHostReachable("localhost"));
}

TEST(Reachability, ResolverTimeOutMeansFlagsCannotBeRead) {
  const r::Resolver slow = [](const QByteArray&) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return std::optional<std::vector<r::Address>>(std::vector<r::Address>{ipv4("127.0.0.1")});
  };
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(r::readFlags("h", slow, std::chrono::milliseconds(200)), std::nullopt);
  EXPECT_LT(t.elapsed(), 2500);  // returned before the resolver did
}
