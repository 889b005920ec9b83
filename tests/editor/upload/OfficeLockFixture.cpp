#include "editor/upload/OfficeLockFixture.h"

#include "editor/OfficeLocks.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QUrl>
#include <QUuid>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zuvo::test {

OfficeInstance::OfficeInstance()
    : profileUrl_(QUrl::fromLocalFile(makeTempDir("profile") + "/" + QUuid::createUuid().toString(QUuid::Id128))
                      .toString()) {}

OfficeInstance::~OfficeInstance() {
  kill();
  QFile::remove(pipePath());
}

QString OfficeInstance::pipePath() const { return zuvo::officelocks::singleInstancePipe(profileUrl_, ::getuid()); }

bool OfficeInstance::start() {
  kill();
  const QByteArray path = QFile::encodeName(pipePath());
  ::unlink(path.constData());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 16) != 0) {
    kill();
    return false;
  }
  return true;
}

void OfficeInstance::kill() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

QByteArray OfficeInstance::lockContent(const QString& host) const {
  const QString h = host.isEmpty() ? QSysInfo::machineHostName() : host;
  return QString(",tester,%1,11.12.2026 03:24,%2;").arg(h, profileUrl_).toUtf8();
}

QString OfficeInstance::writeLock(const QString& document, const QString& host) const {
  const QFileInfo doc(document);
  const QString lock = doc.path() + "/.~lock." + doc.fileName() + "#";
  return writeFile(lock, lockContent(host)) ? lock : QString();
}

}  // namespace zuvo::test
