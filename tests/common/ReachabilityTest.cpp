#include "common/Reachability.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <future>

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
  // The resolver answers only once the test lets it, after readFlags has returned; its late
  // answer is then dropped.
  auto release = std::make_shared<std::promise<void>>();
  auto answered = std::make_shared<std::promise<void>>();
  const r::Resolver slow = [gate = release->get_future().share(), answered](const QByteArray&) {
    const bool released = gate.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    answered->set_value();
    return released ? std::optional<std::vector<r::Address>>(std::vector<r::Address>{ipv4("127.0.0.1")})
                    : std::nullopt;
  };
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(r::readFlags("h", slow, std::chrono::milliseconds(200)), std::nullopt);
  EXPECT_LT(t.elapsed(), 2500);
  release->set_value();
  EXPECT_EQ(answered->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the resolver never ran or never ended";
}
