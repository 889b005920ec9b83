#include "support/TestIdentity.h"
#include "Deployment.h"
#include "bridge_server/DDKeychain.h"
#include "platform/net/Keychain.h"
#include "platform/fs/Paths.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <optional>

#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace zuvo;
using namespace std::chrono_literals;

namespace {

const QString kHost = QString::fromUtf8(deployment::kLocalServerHostName);

unsigned modeOf(const QString& path) {
  struct stat st {};
  if (lstat(QFile::encodeName(path).constData(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

QStringList storeFiles(const QString& pattern) {
  return QDir(keychain::defaultKeychainPath()).entryList({pattern}, QDir::Files | QDir::Hidden, QDir::Name);
}

QStringList workFiles() {
  return QDir(DDKeychain::applicationTemporaryDirectory())
      .entryList({"certificate.pem", "qpllocalhost.pfx"}, QDir::Files | QDir::Hidden);
}

bool sameCertificate(const keychain::X509Ptr& x, const QString& certFile) {
  const QByteArray pem = test::readFile(certFile);
  BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
  X509* other = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  const bool same = other && X509_cmp(x.get(), other) == 0;
  X509_free(other);
  return same;
}

void importIdentity(const test::TestIdentity& id) {
  ASSERT_TRUE(keychain::importPKCS12(test::makePKCS12(id, "pw"), "pw"));
}

}  // namespace

TEST(DDKeychain, ConvertsThePemIntoAPrivateIdentityAndRemovesTheWorkFiles) {
  const test::TestIdentity id = test::makeTestIdentity(kHost);
  QString error;
  ASSERT_TRUE(DDKeychain::writeCertificatePEM(id.pem, &error)) << error.toStdString();
  const QString work = DDKeychain::applicationTemporaryDirectory();
  EXPECT_EQ(modeOf(work), 0700u);
  EXPECT_EQ(modeOf(work + "/certificate.pem"), 0600u);

  DDKeychain::createNewIdentity();
  EXPECT_TRUE(workFiles().isEmpty());
  const QList<keychain::Identity> found = DDKeychain::SSLIdentityAndCertificates();
  ASSERT_EQ(found.size(), 1);
  EXPECT_EQ(found[0].certificate.label, kHost);
  EXPECT_TRUE(sameCertificate(found[0].certificate.x509, id.certFile));

  EXPECT_EQ(modeOf(keychain::defaultKeychainPath()), 0700u);
  const QStringList items = storeFiles("*");
  EXPECT_EQ(storeFiles("*.cert").size(), 1);
  EXPECT_EQ(storeFiles("*.key").size(), 1);
  for (const QString& f : items) EXPECT_EQ(modeOf(keychain::defaultKeychainPath() + "/" + f), 0600u) << f.toStdString();
}

TEST(DDKeychain, BadOrMissingInputImportsNothing) {
  // Each case leaves the keychain empty and the work folder clean, and never waits for a
  // pass phrase prompt.
  const test::TestIdentity id = test::makeTestIdentity(kHost);
  const QString dir = test::makeTempDir();
  ASSERT_EQ(test::runProgram("/usr/bin/openssl", {"pkey", "-in", id.keyFile, "-aes256", "-passout", "pass:secret",
                                                  "-out", dir + "/enc.pem"}),
            0);
  const QByteArray encrypted = test::readFile(dir + "/enc.pem") + test::readFile(id.certFile);
  const struct {
    const char* name;
    std::optional<QByteArray> pem;
  } cases[] = {
      {"no certificate.pem", std::nullopt},
      {"not PEM", QByteArray("garbage\n")},
      {"certificate without key", test::readFile(id.certFile)},
      {"encrypted key", encrypted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.pem) {
      ASSERT_TRUE(DDKeychain::writeCertificatePEM(*c.pem));
    }
    const auto start = std::chrono::steady_clock::now();
    DDKeychain::createNewIdentity();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_TRUE(DDKeychain::SSLIdentityAndCertificates().isEmpty());
    EXPECT_TRUE(keychain::identities().empty());
    EXPECT_TRUE(workFiles().isEmpty());
  }
}

TEST(DDKeychain, RefusesAWorkFolderThatIsASymlink) {
  const QString elsewhere = test::makeTempDir();
  ASSERT_EQ(::symlink(QFile::encodeName(elsewhere).constData(),
                      QFile::encodeName(paths::temporaryDirectory() + "/SecureHTTPServer").constData()),
            0);
  EXPECT_TRUE(DDKeychain::applicationTemporaryDirectory().isEmpty());
  EXPECT_FALSE(DDKeychain::writeCertificatePEM("x"));
  DDKeychain::createNewIdentity();
  EXPECT_TRUE(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

TEST(DDKeychain, ConcurrentConversionsDoNotShareWorkFiles) {
  const test::TestIdentity id = test::makeTestIdentity(kHost);
  ASSERT_TRUE(DDKeychain::writeCertificatePEM(id.pem));
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([] { DDKeychain::createNewIdentity(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(keychain::identities().size(), 1u);
  EXPECT_EQ(DDKeychain::SSLIdentityAndCertificates().size(), 1);
  EXPECT_TRUE(workFiles().isEmpty());
}

TEST(Keychain, SearchTakesTheFirstExactCommonNameInStoreOrder) {
  const test::TestIdentity upper = test::makeTestIdentity(kHost.toUpper());
  const test::TestIdentity first = test::makeTestIdentity(kHost);
  const test::TestIdentity second = test::makeTestIdentity(kHost);
  importIdentity(upper);
  EXPECT_TRUE(DDKeychain::SSLIdentityAndCertificates().isEmpty());
  importIdentity(first);
  importIdentity(second);
  EXPECT_EQ(keychain::identities().size(), 3u);
  const QList<keychain::Identity> found = DDKeychain::SSLIdentityAndCertificates();
  ASSERT_EQ(found.size(), 1);
  EXPECT_TRUE(sameCertificate(found[0].certificate.x509, first.certFile));
}
