#include "writer_bridge/OfficePipe.h"

#include "platform/process/Subprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <fcntl.h>
#include <spawn.h>

extern char** environ;

namespace zuvo::writer {

QString officeProgram() {
  const QString packaged = QStringLiteral("/usr/lib/libreoffice/program/soffice");
  if (QFileInfo(packaged).isExecutable()) return packaged;
  const QString onPath = QStandardPaths::findExecutable(QStringLiteral("soffice"));
  return onPath.isEmpty() ? packaged : onPath;
}

QString pipeName() {
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty() || !QDir::isAbsolutePath(config)) config = QDir::homePath() + QStringLiteral("/.config");
  const QString profile = QDir::cleanPath(config + QStringLiteral("/libreoffice/4"));
  const QByteArray hash = QCryptographicHash::hash(QFile::encodeName(profile), QCryptographicHash::Sha256);
  return QStringLiteral("zuvo_writer_") + QString::fromLatin1(hash.toHex().left(16));
}

QStringList startArguments(const QString& name, bool headless) {
  QStringList args{QStringLiteral("--accept=pipe,name=%1;urp;").arg(name), QStringLiteral("--norestore"),
                   QStringLiteral("--nologo")};
  if (headless) args.prepend(QStringLiteral("--headless"));
  return args;
}

pid_t startDetachedChild(const QString& program, const QStringList& arguments) {
  ExecArguments argv(program, arguments);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv.program(), &actions, &attr, argv.argv(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

}  // namespace zuvo::writer
