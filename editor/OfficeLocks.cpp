#include "editor/OfficeLocks.h"

#include "platform/desktop/OfficePipes.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSysInfo>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zuvo::officelocks {
namespace {

// A lock file is a few hundred bytes; anything far longer is not one.
constexpr qint64 kMaxLockSize = 64 * 1024;

std::optional<struct stat> lstatOf(const QString& path) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return std::nullopt;
  return st;
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Something accepts connections on the socket. A LibreOffice that is asked nothing reads an
// empty request and goes on listening.
bool answers(const QByteArray& path) {
  sockaddr_un addr{};
  if (size_t(path.size()) >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return true;  // cannot tell: held
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  ::close(fd);
  // A full backlog (EAGAIN) is a busy listener, still alive.
  return rc == 0 || err == EAGAIN || err == EINPROGRESS;
}

}  // namespace

std::optional<LockEntry> parseLock(const QByteArray& content) {
  // Fields separated by ",", the entry ended by ";"; "\" escapes the next character.
  const QString text = QString::fromUtf8(content);
  QStringList fields{QString()};
  bool ended = false;
  for (qsizetype i = 0; i < text.size() && !ended; ++i) {
    const QChar c = text[i];
    if (c == QLatin1Char('\\') && i + 1 < text.size())
      fields.last() += text[++i];
    else if (c == QLatin1Char(','))
      fields << QString();
    else if (c == QLatin1Char(';'))
      ended = true;
    else
      fields.last() += c;
  }
  if (!ended || fields.size() != 5 || !fields[4].startsWith(QLatin1String("file:///")) || fields[2].isEmpty())
    return std::nullopt;
  return LockEntry{fields[0], fields[1], fields[2], fields[3], fields[4]};
}

QString singleInstancePipe(const QString& profileUrl, unsigned uid) {
  const QByteArray utf16(reinterpret_cast<const char*>(profileUrl.utf16()), profileUrl.size() * 2);
  const QByteArray md5 = QCryptographicHash::hash(utf16, QCryptographicHash::Md5);
  // Each byte in hexadecimal without its leading zero, as LibreOffice writes it.
  QString hash;
  for (const char b : md5) hash += QString::number(static_cast<unsigned char>(b), 16);
  return officepipes::pipeSocketPath(QStringLiteral("SingleOfficeIPC_") + hash, uid);
}

bool sameHost(const QString& a, const QString& b) {
  if (a.isEmpty() || b.isEmpty()) return false;
  if (a.compare(b, Qt::CaseInsensitive) == 0) return true;
  const QString shortA = a.section(QLatin1Char('.'), 0, 0), shortB = b.section(QLatin1Char('.'), 0, 0);
  return (shortA == a || shortB == b) && shortA.compare(shortB, Qt::CaseInsensitive) == 0;
}

LockState lockState(const QString& lockPath) {
  QFile file(lockPath);
  const std::optional<struct stat> before1 = lstatOf(lockPath);
  if (!before1 || !S_ISREG(before1->st_mode) || before1->st_size > kMaxLockSize ||
      !file.open(QIODevice::ReadOnly))
    return LockState::Unknown;
  const std::optional<LockEntry> entry = parseLock(file.read(kMaxLockSize));
  file.close();
  if (!entry || !sameHost(entry->host, QSysInfo::machineHostName())) return LockState::Unknown;

  const unsigned uid = ::getuid();
  const QString pipe = singleInstancePipe(entry->profileUrl, uid);
  // Only a socket of this user can be the LibreOffice that holds the user's letter.
  if (officepipes::checkPipe(pipe, uid) != officepipes::PipeState::Ours || !answers(QFile::encodeName(pipe)))
    return LockState::LeftOver;
  const std::optional<struct stat> socket = lstatOf(pipe);
  if (!socket) return LockState::LeftOver;
  // Started after the lock was last written: not the LibreOffice that wrote it.
  const std::optional<struct stat> lock = lstatOf(lockPath);
  if (lock && before(lock->st_mtim, socket->st_mtim)) return LockState::LeftOver;
  return LockState::Held;
}

bool isLockName(const QString& name) {
  return name.startsWith(QLatin1String(".~lock.")) && name.endsWith(QLatin1Char('#')) && name.size() > 8;
}

bool isSaveTempName(const QString& name) {
  return name.startsWith(QLatin1String("lu")) && name.endsWith(QLatin1String(".tmp"));
}

FolderLocks folderLocks(const QString& folder) {
  FolderLocks out;
  const QStringList names =
      QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  int leftOver = 0, temps = 0;
  for (const QString& name : names) {
    if (isSaveTempName(name)) ++temps;
    if (!isLockName(name)) continue;
    switch (lockState(folder + QLatin1Char('/') + name)) {
      case LockState::LeftOver: ++leftOver; break;
      case LockState::Held: out.held = true; break;
      case LockState::Unknown: break;
    }
  }
  // A save cut short leaves its temporary file; with no live LibreOffice beside it, it is
  // litter of the one that died (kept in the backup like everything in the folder).
  out.leftOverEntries = leftOver + (leftOver > 0 && !out.held ? temps : 0);
  return out;
}

}  // namespace zuvo::officelocks
