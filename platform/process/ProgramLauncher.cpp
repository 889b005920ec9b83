#include "platform/process/ProgramLauncher.h"
#include "platform/fs/Files.h"

#include "platform/process/Subprocess.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zuvo {
namespace {

QString programName(const QString& bundlePath) {
  QString name = QFileInfo(QDir::cleanPath(bundlePath)).fileName();
  if (name.endsWith(QLatin1String(".app"))) name.chop(4);
  return name;
}

QString cantLaunch(const QString& name, const QString& reason) {
  return QStringLiteral("The application “%1” can’t be opened. %2").arg(name, reason);
}

QString reasonFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return QStringLiteral("The application can’t be found.");
    case EACCES:
    case EPERM:
      return QStringLiteral("You don’t have permission to open it.");
    case ENOEXEC:
      return QStringLiteral("It is not a program this computer can run.");
    default:
      return files::errnoText(error);
  }
}

void activate(const QString& name) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  const QString lower = name.toLower();
  const QString service = QStringLiteral("com.roza.") + lower;
  QDBusConnectionInterface* iface = bus.interface();
  if (!iface || !iface->isServiceRegistered(service)) return;
  QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/com/roza/") + lower,
                                                     QStringLiteral("org.freedesktop.Application"),
                                                     QStringLiteral("Activate"));
  call << QVariantMap();
  bus.call(call, QDBus::NoBlock);
}

}  // namespace

bool isProgramRunning(const QString& executable) {
  char resolved[PATH_MAX];
  if (!realpath(QFile::encodeName(executable).constData(), resolved)) return false;
  const std::string target(resolved);
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  bool found = false;
  const uid_t me = geteuid();
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const std::string dir = std::string("/proc/") + e->d_name;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || st.st_uid != me) continue;
    char link[PATH_MAX];
    const ssize_t n = readlink((dir + "/exe").c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    if (std::string(link, size_t(n)) == target) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

bool launchApplication(const QString& bundlePath, const QStringList& arguments, QString* error) {
  const QString name = programName(bundlePath);
  const QString executable = QDir::cleanPath(bundlePath) + QStringLiteral("/Contents/MacOS/") + name;
  for (const QString& a : arguments) {
    if (a.contains(QChar(0))) {
      if (error) *error = cantLaunch(name, QStringLiteral("One of its arguments holds a NUL character."));
      return false;
    }
  }
  // The check and the start are one step: concurrent requests start the program once and
  // find it running afterwards (posix_spawn returns after the exec, so /proc shows it).
  static std::mutex startMutex;
  std::unique_lock startLock(startMutex);
  if (isProgramRunning(executable)) {
    startLock.unlock();
    activate(name);
    return true;
  }

  ExecArguments exec(executable, arguments);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  pid_t pid = -1;
  // glibc reports a failed exec (missing file, no permission) as the result.
  const int rc = posix_spawn(&pid, exec.program(), &actions, &attr, exec.argv(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    if (error) *error = cantLaunch(name, reasonFor(rc));
    return false;
  }
  // Reap the program when it ends so that it leaves no zombie behind.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace zuvo
