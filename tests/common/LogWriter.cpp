// log_writer <bundle id> <program name> <maximum file size> <count>
// Logs "<program name> <i>" for i = 0..count-1, information and errors by turns.
#include "common/Log.h"
#include "platform/fs/Paths.h"

#include <QString>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  zuvo::LogOptions options;
  options.file.maximumFileSize = std::strtoull(argv[3], nullptr, 10);
  options.systemLog = false;  // thousands of lines: keep them out of the journal
  const QString program = QString::fromLocal8Bit(argv[2]);
  zuvo::setupLog(zuvo::paths::logsFolder(), QString::fromLocal8Bit(argv[1]), program, options);
  const long count = std::strtol(argv[4], nullptr, 10);
  for (long i = 0; i < count; ++i) {
    const QString line = QStringLiteral("%1 %2").arg(program, QString::number(i));
    if (i % 2 == 0)
      zuvo::logInfo(line);
    else
      zuvo::logError(line);
  }
  zuvo::flushLog();
  return 0;
}
