#include "installer/InstallerLock.h"

#include "platform/fs/Files.h"
#include "platform/fs/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo::installer {

QString installerLockPath() {
  const QString name = QStringLiteral("/ZuvoDocPluginInstaller.lock");
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime.startsWith('/') && ::lstat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid() && (st.st_mode & 0077) == 0)
    return QDir::cleanPath(QFile::decodeName(runtime)) + name;
  return paths::applicationSupportDirectory() + name;
}

InstallerLock::Result InstallerLock::take(std::unique_ptr<InstallerLock>* lock, QString* error) {
  const QString path = installerLockPath();
  files::makeFolderPath(QFileInfo(path).absolutePath());
  // Not inherited by the programs the installation starts: they would hold it on.
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = QStringLiteral("Cannot open the lock %1").arg(files::errnoText(path, errno));
    return Result::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return Result::Busy;
    if (error) *error = QStringLiteral("Cannot lock %1").arg(files::errnoText(path, err));
    return Result::Failed;
  }
  lock->reset(new InstallerLock(fd));
  return Result::Taken;
}

InstallerLock::~InstallerLock() { ::close(fd_); }

}  // namespace zuvo::installer
