#include "platform/net/Keychain.h"
#include "platform/process/Subprocess.h"
#include "support/TestIdentity.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <thread>

using namespace zuvo;
using namespace std::chrono_literals;

namespace {

const QString kHost = QStringLiteral("zuvo-bridge.test");

QStringList storeFiles(const QString& pattern) {
  return QDir(keychain::defaultKeychainPath()).entryList({pattern}, QDir::Files | QDir::Hidden, QDir::Name);
}

}  // namespace

TEST(Keychain, IdenticalItemsAreStoredOnceAndDeletingTheCertificateKeepsTheKey) {
  const test::TestIdentity id = test::makeTestIdentity(kHost);
  const QByteArray p12 = test::makePKCS12(id, "pw");
  QString error;
  EXPECT_FALSE(keychain::importPKCS12(p12, "wrong", &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(keychain::importPKCS12("not pkcs12", "pw"));
  ASSERT_TRUE(keychain::importPKCS12(p12, "pw"));
  ASSERT_TRUE(keychain::importPKCS12(p12, "pw"));
  EXPECT_EQ(keychain::certificates().size(), 1u);
  EXPECT_EQ(storeFiles("*.key").size(), 1);

  const std::optional<keychain::Certificate> cert = keychain::findCertificate(kHost);
  ASSERT_TRUE(cert);
  EXPECT_FALSE(keychain::findCertificate(kHost.toUpper()));
  EXPECT_TRUE(keychain::deleteItem(cert->itemId));
  EXPECT_FALSE(keychain::deleteItem(cert->itemId));
  EXPECT_FALSE(keychain::findCertificate(kHost));
  EXPECT_TRUE(keychain::identities().empty());
  EXPECT_EQ(storeFiles("*.key").size(), 1);

  // The certificate comes back beside the kept key: one key, one identity.
  ASSERT_TRUE(keychain::importPKCS12(p12, "pw"));
  EXPECT_EQ(storeFiles("*.key").size(), 1);
  EXPECT_EQ(keychain::identities().size(), 1u);
}

TEST(Keychain, ConcurrentImportsAllLand) {
  std::vector<test::TestIdentity> ids;
  std::vector<QByteArray> data;
  for (int i = 0; i < 4; ++i) {
    ids.push_back(test::makeTestIdentity(QString("host%1.test").arg(i)));
    data.push_back(test::makePKCS12(ids.back(), "pw"));
  }
  std::vector<std::thread> threads;
  for (const QByteArray& d : data) threads.emplace_back([&d] { EXPECT_TRUE(keychain::importPKCS12(d, "pw")); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(keychain::identities().size(), 4u);
  EXPECT_TRUE(storeFiles(".tmp*").isEmpty());
}

TEST(Subprocess, ToolOutcomes) {
  const ToolOutcome missing = runToolAndWait("/nonexistent/tool", {}, 5s);
  EXPECT_EQ(missing.result, ToolResult::FailedToStart);
  EXPECT_FALSE(missing.error.isEmpty());

  // stdin is /dev/null: a tool that reads it sees the end at once.
  const ToolOutcome reads = runToolAndWait("/bin/sh", {"-c", "read x; exit 7"}, 20s);
  EXPECT_EQ(reads.result, ToolResult::Exited);
  EXPECT_EQ(reads.exitCode, 7);

  const auto start = std::chrono::steady_clock::now();
  const ToolOutcome slow = runToolAndWait("/bin/sleep", {"60"}, 300ms);
  EXPECT_EQ(slow.result, ToolResult::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}
