#include "installer/InstallerLog.h"

#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace zuvo::installer {

void logInstallerError(const QString& message) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("ZuvoDocPluginInstaller", LOG_PID, LOG_USER); });
  const QByteArray text = message.toUtf8();
  syslog(LOG_ERR, "%s", text.constData());
  std::fprintf(stderr, "%s\n", text.constData());
  std::fflush(stderr);
}

void StepLog::fail(const QString& message) {
  ++failures_;
  logInstallerError(message);
}

}  // namespace zuvo::installer
