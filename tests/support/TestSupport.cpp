#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
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

bool mountSmallFileSystem(const QString& folder, qint64 bytes, QString* error) {
  const auto fail = [&](const char* step) {
    *error = QStringLiteral("%1: %2").arg(QLatin1String(step), QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  };
  // Once per thread; the mounts made then stay out of every other namespace.
  thread_local bool ownNamespace = false;
  if (!ownNamespace) {
    if (::unshare(CLONE_NEWNS) != 0) return fail("unshare(CLONE_NEWNS)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail("mount --make-rprivate /");
    ownNamespace = true;
  }
  if (!QDir().mkpath(folder)) {
    *error = QStringLiteral("%1 cannot be made").arg(folder);
    return false;
  }
  const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
  if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) != 0)
    return fail("mount -t tmpfs");
  return true;
}

bool unmountFileSystem(const QString& folder) {
  return ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH) == 0;
}

bool fillFileSystem(const QString& folder, qint64 leaveFree) {
  const int fd = ::open(QFile::encodeName(folder + QStringLiteral("/filler")).constData(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const QByteArray block(4096, 'x');
  size_t size = size_t(block.size());
  for (;;) {
    if (::write(fd, block.constData(), size) > 0 || errno == EINTR) continue;
    if (errno != ENOSPC || size == 1) break;
    size = 1;  // the last bytes of a block
  }
  bool full = errno == ENOSPC;
  const off_t length = ::lseek(fd, 0, SEEK_END);
  if (full && leaveFree > 0) full = length >= leaveFree && ::ftruncate(fd, length - off_t(leaveFree)) == 0;
  ::close(fd);
  return full;
}

}  // namespace zuvo::test
