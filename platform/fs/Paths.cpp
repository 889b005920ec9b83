#include "platform/fs/Paths.h"

#include <QByteArray>
#include <QDir>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo::paths {

QString applicationSupportDirectory() {
  const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
  if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) return QDir::cleanPath(xdg);
  return QDir::cleanPath(QDir::homePath() + QStringLiteral("/.local/share"));
}

QString configHomeDirectory() {
  const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) return QDir::cleanPath(xdg);
  return QDir::cleanPath(QDir::homePath() + QStringLiteral("/.config"));
}

QString dataFolder() { return applicationSupportDirectory() + QStringLiteral("/ZuvoDocV30"); }

QString logsFolder() { return dataFolder() + QStringLiteral("/Logs"); }

QString bundlePath(const QString& programName) {
  return dataFolder() + QLatin1Char('/') + programName + QStringLiteral(".app");
}

QString bundleExecutable(const QString& programName) {
  return bundlePath(programName) + QStringLiteral("/Contents/MacOS/") + programName;
}

static bool isPrivateDir(const QByteArray& path) {
  struct stat st {};
  if (lstat(path.constData(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 0777) == 0700;
}

QString temporaryDirectory() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && runtime.startsWith('/') && isPrivateDir(runtime))
    return QDir::cleanPath(QString::fromLocal8Bit(runtime));

  static std::mutex mutex;
  static QString made;
  std::lock_guard lock(mutex);
  if (!made.isEmpty() && isPrivateDir(made.toLocal8Bit())) return made;
  QByteArray base = qgetenv("TMPDIR");
  if (base.isEmpty() || !base.startsWith('/')) base = "/tmp";
  QByteArray templ = base + "/zuvo-" + QByteArray::number(geteuid()) + "-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) return {};
  made = QString::fromLocal8Bit(templ);
  return made;
}

}  // namespace zuvo::paths
