#include "ScannerProcess.h"

#include "support/TestSupport.h"

#include "platform/fs/Paths.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>

#include <fcntl.h>
#include <unistd.h>

namespace zuvo::test {

QString scanFolder() { return zuvo::paths::dataFolder() + QStringLiteral("/Data/ZuvoScanner/Documents"); }

QStringList fileLogLines() {
  QStringList lines;
  const QDir logs(zuvo::paths::logsFolder());
  for (const QString& name : logs.entryList(QDir::Files, QDir::Name))
    lines += QString::fromUtf8(readFile(logs.filePath(name))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  return lines;
}

qint64 scannerNameOwner() {
  QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
  const QString name = QStringLiteral("com.roza.zuvoscanner");
  if (!bus || !bus->isServiceRegistered(name).value()) return 0;
  return bus->servicePid(name).value();
}

ScannerProcess::ScannerProcess() : env_(QProcessEnvironment::systemEnvironment()) {
  env_.insert(QStringLiteral("ZUVO_ALERT_LOG"), makeTempDir(QStringLiteral("alerts")) + QStringLiteral("/alerts.jsonl"));
  // No display: a Qt option taken from the arguments would show at once.
  env_.remove(QStringLiteral("DISPLAY"));
  env_.remove(QStringLiteral("WAYLAND_DISPLAY"));
  env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
}

ScannerProcess::~ScannerProcess() { stop(); }

QString ScannerProcess::alertLogPath() const { return env_.value(QStringLiteral("ZUVO_ALERT_LOG")); }

bool ScannerProcess::start(const QStringList& arguments) {
  process_.setProcessEnvironment(env_);
  process_.setProcessChannelMode(QProcess::SeparateChannels);
  process_.setStandardOutputFile(QProcess::nullDevice());
  process_.start(binaryPath(QStringLiteral("scanner/ZuvoScanner")), arguments);
  return process_.waitForStarted();
}

void ScannerProcess::stop() {
  if (process_.state() == QProcess::NotRunning) return;
  process_.terminate();
  if (!process_.waitForFinished(5000)) {
    process_.kill();
    process_.waitForFinished();
  }
}

bool ScannerProcess::isRunning() const { return process_.state() == QProcess::Running; }

bool ScannerProcess::waitForFinished(std::chrono::milliseconds timeout) {
  return waitUntil([&] { return !isRunning(); }, timeout);
}

long ScannerProcess::statusKiB(const char* field) const {
  const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid()));
  const QByteArray key = QByteArray(field) + ':';
  for (const QByteArray& line : status.split('\n'))
    if (line.startsWith(key)) return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
  return -1;
}

bool ScannerProcess::resetPeak() const {
  const int fd = ::open(QStringLiteral("/proc/%1/clear_refs").arg(pid()).toLocal8Bit().constData(), O_WRONLY);
  if (fd < 0) return false;
  const bool ok = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return ok;
}

QString ScannerProcess::output() {
  stderr_ += process_.readAllStandardError();
  return QString::fromUtf8(stderr_);
}

bool ScannerProcess::waitForOutput(const QString& text, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return output().contains(text); }, timeout);
}

}  // namespace zuvo::test
