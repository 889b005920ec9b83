#include "bridge_server/DDKeychain.h"

#include "Deployment.h"
#include "platform/fs/Files.h"
#include "platform/fs/Paths.h"
#include "platform/fs/PrivateFile.h"
#include "platform/process/Subprocess.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kPassphrase[] = "plovern";
const char kTool[] = "/usr/bin/openssl";
constexpr std::chrono::seconds kToolLimit(30);

QString inputFile(const QString& dir) { return dir + QStringLiteral("/certificate.pem"); }
QString intermediateFile(const QString& dir) { return dir + QStringLiteral("/qpllocalhost.pfx"); }

// Serialises conversions: a mutex for this process's threads, an flock for other processes.
class ConversionLock {
 public:
  explicit ConversionLock(const QString& dir) : guard_(mutex()) {
    fd_ = ::open(QFile::encodeName(dir + QStringLiteral("/.lock")).constData(),
                 O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0)
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~ConversionLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool held() const { return fd_ >= 0; }

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  std::lock_guard<std::mutex> guard_;
  int fd_ = -1;
};

// Makes the PKCS#12 output file ourselves, exclusively and private, so that the tool only
// writes into a file of ours.
bool createPrivateEmptyFile(const QString& path) {
  const QByteArray p = QFile::encodeName(path);
  ::unlink(p.constData());
  const int fd = ::open(p.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

const QString& hostName() {
  static const QString name = QString::fromUtf8(zuvo::deployment::kLocalServerHostName);
  return name;
}

bool validNow(const zuvo::keychain::Identity& identity) {
  X509* x509 = identity.certificate.x509.get();
  return x509 && identity.privateKey && X509_cmp_current_time(X509_get0_notBefore(x509)) < 0 &&
         X509_cmp_current_time(X509_get0_notAfter(x509)) > 0;
}

// The DER form of every certificate in a PEM text.
std::vector<QByteArray> certificatesIn(const QByteArray& pem) {
  std::vector<QByteArray> out;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
  if (!bio) return out;
  while (X509* x509 = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(x509, &der);
    if (length > 0) out.emplace_back(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    X509_free(x509);
  }
  return out;
}

QByteArray derOf(X509* x509) {
  unsigned char* der = nullptr;
  const int length = x509 ? i2d_X509(x509, &der) : -1;
  QByteArray out = length > 0 ? QByteArray(reinterpret_cast<const char*>(der), length) : QByteArray();
  OPENSSL_free(der);
  return out;
}

}  // namespace

QString DDKeychain::applicationTemporaryDirectory() {
  const QString base = zuvo::paths::temporaryDirectory();
  if (base.isEmpty()) return {};
  const QString dir = base + QStringLiteral("/SecureHTTPServer");
  return zuvo::files::makeOwnerOnlyFolder(dir) ? dir : QString();
}

bool DDKeychain::writeCertificatePEM(const QByteArray& pem, QString* error) {
  const QString dir = applicationTemporaryDirectory();
  if (dir.isEmpty()) {
    if (error) *error = QStringLiteral("The temporary folder is not private");
    return false;
  }
  return zuvo::writePrivateFileAtomically(inputFile(dir), pem, error);
}

void DDKeychain::createNewIdentity() {
  const QString dir = applicationTemporaryDirectory();
  if (dir.isEmpty()) return;
  ConversionLock lock(dir);
  if (!lock.held()) return;
  const QString in = inputFile(dir);
  const QString out = intermediateFile(dir);

  struct stat st {};
  if (::lstat(QFile::encodeName(in).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
      createPrivateEmptyFile(out)) {
    const zuvo::ToolOutcome tool = zuvo::runToolAndWait(
        QString::fromLatin1(kTool),
        {QStringLiteral("pkcs12"), QStringLiteral("-export"), QStringLiteral("-in"), in,
         QStringLiteral("-passout"), QStringLiteral("pass:") + QLatin1String(kPassphrase),
         QStringLiteral("-out"), out, QStringLiteral("-name"), QStringLiteral("ZuvoDoc")},
        kToolLimit);
    if (tool.result == zuvo::ToolResult::Exited) {
      const QByteArray data = zuvo::readFileNoFollow(out);
      if (!data.isEmpty()) zuvo::keychain::importPKCS12(data, QString::fromLatin1(kPassphrase));
    }
  }
  ::unlink(QFile::encodeName(in).constData());
  ::unlink(QFile::encodeName(out).constData());
}

QList<zuvo::keychain::Identity> DDKeychain::SSLIdentityAndCertificates() {
  for (zuvo::keychain::Identity& identity : zuvo::keychain::identities())
    if (identity.certificate.label == hostName()) return {std::move(identity)};
  return {};
}

std::optional<zuvo::keychain::Identity> DDKeychain::validIdentity() {
  for (zuvo::keychain::Identity& identity : zuvo::keychain::identities())
    if (identity.certificate.label == hostName() && validNow(identity)) return std::move(identity);
  return std::nullopt;
}

std::optional<zuvo::keychain::Identity> DDKeychain::validIdentityFor(const QByteArray& pem) {
  const std::vector<QByteArray> wanted = certificatesIn(pem);
  if (wanted.empty()) return std::nullopt;
  for (zuvo::keychain::Identity& identity : zuvo::keychain::identities()) {
    if (identity.certificate.label != hostName() || !validNow(identity)) continue;
    if (std::find(wanted.begin(), wanted.end(), derOf(identity.certificate.x509.get())) != wanted.end())
      return std::move(identity);
  }
  return std::nullopt;
}

void DDKeychain::deleteOtherCertificates(const zuvo::keychain::Identity& keep) {
  for (const zuvo::keychain::Certificate& c : zuvo::keychain::certificates())
    if (c.label == hostName() && c.itemId != keep.certificate.itemId) zuvo::keychain::deleteItem(c.itemId);
}
