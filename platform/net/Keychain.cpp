#include "platform/net/Keychain.h"

#include "platform/fs/Files.h"
#include "platform/fs/Paths.h"
#include "platform/fs/PrivateFile.h"

#include <QDir>
#include <QFile>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <time.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo::keychain {
namespace {

const char kCertSuffix[] = ".cert";
const char kKeySuffix[] = ".key";

void setError(QString* error, const QString& text) {
  if (error) *error = text;
}

QString errnoText() { return files::errnoText(errno); }

// Makes the store folder (and its parent) private to the user; refuses a symlink or a
// folder of another user.
bool ensureStore(const QString& path, QString* error) {
  QString why;
  if (files::makeOwnerOnlyFolder(path, &why)) return true;
  setError(error, QStringLiteral("The keychain folder: %1").arg(why));
  return false;
}

// An flock on the store's lock file, held for the object's life.
class StoreLock {
 public:
  StoreLock(const QString& store, bool exclusive) {
    const QByteArray p = QFile::encodeName(store + QStringLiteral("/.lock"));
    fd_ = ::open(p.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

struct Entry {
  QString id;    // "00000001.cert"
  bool isCert;
  QByteArray pem;
};

// The items in import order. Item names are an eight-digit sequence number and a suffix.
QStringList itemNames(const QString& store) {
  QDir dir(store);
  QStringList names = dir.entryList({QStringLiteral("*") + kCertSuffix, QStringLiteral("*") + kKeySuffix},
                                    QDir::Files | QDir::Hidden, QDir::Name);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const QString& n) {
                               const int dot = int(n.indexOf(QLatin1Char('.')));
                               if (dot != 8) return true;
                               for (int i = 0; i < 8; ++i)
                                 if (!n[i].isDigit()) return true;
                               return false;
                             }),
              names.end());
  return names;
}

std::vector<Entry> readEntries(const QString& store) {
  std::vector<Entry> entries;
  for (const QString& name : itemNames(store)) {
    QByteArray pem = readFileNoFollow(store + QLatin1Char('/') + name);
    if (pem.isEmpty()) continue;
    entries.push_back({name, name.endsWith(QLatin1String(kCertSuffix)), std::move(pem)});
  }
  return entries;
}

X509Ptr parseCert(const QByteArray& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
  X509* x = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  return X509Ptr(x, X509_free);
}

KeyPtr parseKey(const QByteArray& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
  EVP_PKEY* k = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  return KeyPtr(k, EVP_PKEY_free);
}

QByteArray bioContents(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return QByteArray(data, int(n));
}

QByteArray certPem(X509* x) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_X509(bio.get(), x) != 1) return {};
  return bioContents(bio.get());
}

QByteArray keyPem(EVP_PKEY* k) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), k, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
  return bioContents(bio.get());
}

bool writeItem(const QString& store, const QString& name, const QByteArray& data, QString* error) {
  QString reason;
  if (writePrivateFileAtomically(store + QLatin1Char('/') + name, data, &reason)) return true;
  setError(error, QStringLiteral("Cannot write to the keychain: %1").arg(reason));
  return false;
}

int nextSequence(const QString& store) {
  int last = 0;
  for (const QString& name : itemNames(store)) last = std::max(last, name.left(8).toInt());
  return last + 1;
}

QString itemName(int sequence, const char* suffix) {
  return QStringLiteral("%1%2").arg(sequence, 8, 10, QLatin1Char('0')).arg(QLatin1String(suffix));
}

}  // namespace

QString defaultKeychainPath() {
  return paths::applicationSupportDirectory() + QStringLiteral("/keychains/login");
}

QString commonName(const X509* certificate) {
  if (!certificate) return {};
  const X509_NAME* subject = X509_get_subject_name(certificate);
  if (!subject) return {};
  int index = -1;
  for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
       i = X509_NAME_get_index_by_NID(subject, NID_commonName, i))
    index = i;
  if (index < 0) return {};
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
  unsigned char* utf8 = nullptr;
  const int n = ASN1_STRING_to_UTF8(&utf8, value);
  if (n < 0) return {};
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), n);
  OPENSSL_free(utf8);
  return text;
}

bool importPKCS12(const QByteArray& data, const QString& passphrase, QString* error) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.constData());
  std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(d2i_PKCS12(nullptr, &p, long(data.size())), PKCS12_free);
  if (!p12) {
    setError(error, QStringLiteral("The data is not in the PKCS#12 format"));
    return false;
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  const QByteArray pass = passphrase.toUtf8();
  if (PKCS12_parse(p12.get(), pass.constData(), &key, &cert, &chain) != 1) {
    setError(error, QStringLiteral("The PKCS#12 data cannot be read with this pass phrase"));
    return false;
  }
  KeyPtr keyHolder(key, EVP_PKEY_free);
  X509Ptr certHolder(cert, X509_free);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> chainHolder(
      chain, [](STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); });

  std::vector<std::pair<QByteArray, const char*>> items;
  if (key) items.emplace_back(keyPem(key), kKeySuffix);
  if (cert) items.emplace_back(certPem(cert), kCertSuffix);
  for (int i = 0; chain && i < sk_X509_num(chain); ++i) items.emplace_back(certPem(sk_X509_value(chain, i)), kCertSuffix);

  const QString store = defaultKeychainPath();
  if (!ensureStore(store, error)) return false;
  StoreLock lock(store, true);
  if (!lock.held()) {
    setError(error, QStringLiteral("Cannot lock the keychain: %1").arg(errnoText()));
    return false;
  }
  const std::vector<Entry> existing = readEntries(store);
  int sequence = nextSequence(store);
  for (const auto& item : items) {
    const QByteArray& pem = item.first;
    const QLatin1String suffix(item.second);
    if (pem.isEmpty()) continue;
    const bool stored = std::any_of(existing.begin(), existing.end(),
                                    [&](const Entry& e) { return e.pem == pem && e.id.endsWith(suffix); });
    if (stored) continue;
    if (!writeItem(store, itemName(sequence++, item.second), pem, error)) return false;
  }
  return true;
}

std::vector<Certificate> certificates() {
  const QString store = defaultKeychainPath();
  std::vector<Certificate> out;
  if (!QFileInfo(store).isDir()) return out;
  StoreLock lock(store, false);
  for (const Entry& e : readEntries(store)) {
    if (!e.isCert) continue;
    X509Ptr x = parseCert(e.pem);
    if (x) out.push_back({e.id, commonName(x.get()), x});
  }
  return out;
}

namespace {

std::vector<Identity> readIdentities(const QString& store) {
  std::vector<Identity> out;
  std::vector<Entry> entries;
  {
    StoreLock lock(store, false);
    entries = readEntries(store);
  }
  std::vector<std::pair<QString, KeyPtr>> keys;
  for (const Entry& e : entries)
    if (!e.isCert)
      if (KeyPtr k = parseKey(e.pem)) keys.emplace_back(e.id, k);
  for (const Entry& e : entries) {
    if (!e.isCert) continue;
    X509Ptr x = parseCert(e.pem);
    const EVP_PKEY* pub = x ? X509_get0_pubkey(x.get()) : nullptr;
    if (!pub) continue;
    for (const auto& [id, k] : keys) {
      if (EVP_PKEY_eq(pub, k.get()) == 1) {
        out.push_back({{e.id, commonName(x.get()), x}, id, k});
        break;
      }
    }
  }
  return out;
}

// Every change to the store renames or removes a file in its folder, which moves the
// folder's change time. A change within the file system's time granularity of the last read
// would not show, so a read that close to the folder's change time is not trusted later.
struct StoreStamp {
  dev_t device = 0;
  ino_t inode = 0;
  timespec changed{};
  bool operator==(const StoreStamp& o) const {
    return device == o.device && inode == o.inode && changed.tv_sec == o.changed.tv_sec &&
           changed.tv_nsec == o.changed.tv_nsec;
  }
};

std::optional<StoreStamp> storeStamp(const QString& store) {
  struct stat st {};
  if (::stat(QFile::encodeName(store).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return StoreStamp{st.st_dev, st.st_ino, st.st_ctim};
}

bool settledBefore(const timespec& changed, const timespec& readAt) {
  const long long changedNs = (long long)changed.tv_sec * 1000000000LL + changed.tv_nsec;
  const long long readNs = (long long)readAt.tv_sec * 1000000000LL + readAt.tv_nsec;
  return readNs - changedNs > 1000000000LL;
}

struct IdentityCache {
  std::mutex mutex;
  QString store;
  std::optional<StoreStamp> stamp;
  bool trusted = false;
  std::vector<Identity> identities;
};

IdentityCache& identityCache() {
  static IdentityCache cache;
  return cache;
}

}  // namespace

std::vector<Identity> identities() {
  const QString store = defaultKeychainPath();
  const std::optional<StoreStamp> stamp = storeStamp(store);
  if (!stamp) return {};
  IdentityCache& cache = identityCache();
  {
    std::lock_guard lock(cache.mutex);
    if (cache.trusted && cache.store == store && cache.stamp == stamp) return cache.identities;
  }
  timespec readAt{};
  clock_gettime(CLOCK_REALTIME, &readAt);
  std::vector<Identity> out = readIdentities(store);
  std::lock_guard lock(cache.mutex);
  cache.store = store;
  cache.stamp = stamp;
  cache.trusted = settledBefore(stamp->changed, readAt);
  cache.identities = out;
  return out;
}

std::optional<Certificate> findCertificate(const QString& label) {
  for (Certificate& c : certificates())
    if (c.label == label) return std::move(c);
  return std::nullopt;
}

bool deleteItem(const QString& itemId) {
  if (itemId.isEmpty() || itemId.contains(QLatin1Char('/')) || itemId.startsWith(QLatin1Char('.'))) return false;
  const QString store = defaultKeychainPath();
  if (!QFileInfo(store).isDir()) return false;
  StoreLock lock(store, true);
  if (!lock.held()) return false;
  return ::unlink(QFile::encodeName(store + QLatin1Char('/') + itemId).constData()) == 0;
}

}  // namespace zuvo::keychain
