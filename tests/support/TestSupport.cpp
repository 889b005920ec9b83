#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace zuvo::test {

QString testRoot() {
  QString root = qEnvironmentVariable("ZUVO_TEST_ROOT");
  if (root.isEmpty()) root = QDir::tempPath();
  return root;
}

QString makeTempDir(const QString& prefix) {
  QTemporaryDir dir(testRoot() + "/" + prefix + "-XXXXXX");
  dir.setAutoRemove(false);
  return dir.path();
}

QString sourcePath(const QString& relative) { return QStringLiteral(ZUVO_SOURCE_DIR "/") + relative; }
QString binaryPath(const QString& relative) { return QStringLiteral(ZUVO_BINARY_DIR "/") + relative; }

QByteArray readFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& data) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return f.write(data) == data.size();
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  QDeadlineTimer deadline(timeout);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

void spin(std::chrono::milliseconds time) {
  QDeadlineTimer deadline(time);
  while (!deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
}

int runProgram(const QString& program, const QStringList& args, QByteArray* out, QByteArray* err,
               std::chrono::milliseconds timeout) {
  QProcess p;
  p.start(program, args);
  if (!p.waitForStarted()) return -1;
  p.closeWriteChannel();
  if (!p.waitForFinished(int(timeout.count()))) {
    p.kill();
    p.waitForFinished();
    return -1;
  }
  if (out) *out = p.readAllStandardOutput();
  if (err) *err = p.readAllStandardError();
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

std::string editorDatabaseSchema() {
  const QByteArray sql = readFile(QStringLiteral(ZUVO_SOURCE_DIR "/editor/Resources/ZuvoEditor.sql"));
  EXPECT_FALSE(sql.isEmpty());
  return sql.toStdString();
}

bool withoutNetwork(const std::function<void()>& fn) {
  const int own = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (own < 0) return false;
  if (::unshare(CLONE_NEWNET) != 0) {
    ::close(own);
    return false;
  }
  fn();
  const bool restored = ::setns(own, CLONE_NEWNET) == 0;
  ::close(own);
  return restored;
}

}  // namespace zuvo::test
