#include "platform/desktop/OfficePipes.h"

#include <QFile>

#include <sys/stat.h>

namespace zuvo::officepipes {

QString pipeSocketPath(const QString& name, uid_t uid) {
  return QStringLiteral("/tmp/OSL_PIPE_%1_%2").arg(uid).arg(name);
}

PipeState checkPipe(const QString& socketPath, uid_t uid) {
  struct stat st {};
  if (::lstat(QFile::encodeName(socketPath).constData(), &st) != 0) return PipeState::Absent;
  if (!S_ISSOCK(st.st_mode) || st.st_uid != uid) return PipeState::Foreign;
  return PipeState::Ours;
}

}  // namespace zuvo::officepipes
