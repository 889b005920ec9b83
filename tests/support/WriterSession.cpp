#include "support/WriterSession.h"

#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>

#include <csignal>

namespace zuvo::test {

QString writerBridgeProgram() { return binaryPath("writer_bridge/ZuvoWriterBridge"); }

bool installWriterEntry(const QString& tryExec) {
  const QString dir = qEnvironmentVariable("XDG_DATA_HOME") + "/applications";
  const QString bridge = writerBridgeProgram();
  return QDir().mkpath(dir) &&
         writeFile(dir + "/com.microsoft.Word.desktop",
                   ("[Desktop Entry]\nType=Application\nName=Writer\nTryExec=" + (tryExec.isEmpty() ? bridge : tryExec) +
                    "\nExec=" + bridge + " %F\nActions=Print;\n\n[Desktop Action Print]\nName=Print\nExec=" + bridge +
                    " --print %F\n")
                       .toUtf8());
}

QString officePipe() {
  const QString profile = QDir::cleanPath(qEnvironmentVariable("XDG_CONFIG_HOME") + "/libreoffice/4");
  return "zuvo_writer_" +
         QString::fromLatin1(
             QCryptographicHash::hash(QFile::encodeName(profile), QCryptographicHash::Sha256).toHex().left(16));
}

qint64 officePid() {
  const QByteArray accept = "name=" + officePipe().toUtf8() + ";";
  for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
    bool number = false;
    const qint64 pid = entry.toLongLong(&number);
    if (!number) continue;
    const QList<QByteArray> argv = readFile("/proc/" + entry + "/cmdline").split('\0');
    if (!argv.isEmpty() && argv[0].endsWith("soffice.bin") && argv.join(' ').contains(accept)) return pid;
  }
  return 0;
}

qint64 writerBridgePid() {
  const auto pid = QDBusConnection::sessionBus().interface()->servicePid("com.microsoft.Word");
  return pid.isValid() ? qint64(pid.value()) : 0;
}

void stopWriterBridge() {
  const qint64 pid = writerBridgePid();
  if (pid <= 0) return;
  ::kill(pid_t(pid), SIGKILL);
  waitUntil([] { return !QDBusConnection::sessionBus().interface()->isServiceRegistered("com.microsoft.Word"); });
}

int officeUser(const QStringList& args, QByteArray* out) {
  return runProgram("/usr/bin/python3", QStringList{sourcePath("tests/editor/office/office_user.py"), officePipe()} + args,
                    out, nullptr, std::chrono::seconds(60));
}

qint64 residentKb(qint64 pid) {
  for (const QByteArray& line : readFile(QString("/proc/%1/status").arg(pid)).split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
  return 0;
}

}  // namespace zuvo::test
