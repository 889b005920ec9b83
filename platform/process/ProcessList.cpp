#include "platform/process/ProcessList.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <vector>

namespace zuvo {
namespace {

std::optional<QByteArray> readSmall(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  return file.read(64 * 1024);
}

// The fields after "pid (comm) ": the name may hold blanks and parentheses, so they begin
// after the last ')'.
QList<QByteArray> statFields(const QByteArray& stat) {
  const qsizetype close = stat.lastIndexOf(')');
  if (close < 0) return {};
  return stat.mid(close + 1).simplified().split(' ');
}

QString loginName(uid_t uid) {
  struct passwd pw {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
  return QString::fromLocal8Bit(found->pw_name);
}

}  // namespace

std::vector<ProcessRecord> processList(const QString& procRoot) {
  std::vector<ProcessRecord> list;
  const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
  for (const QString& entry : entries) {
    bool numeric = false;
    const long pid = entry.toLong(&numeric);
    if (!numeric || pid <= 0) continue;
    const QString dir = procRoot + QLatin1Char('/') + entry;
    const auto comm = readSmall(dir + QStringLiteral("/comm"));
    const auto stat = readSmall(dir + QStringLiteral("/stat"));
    const auto status = readSmall(dir + QStringLiteral("/status"));
    if (!comm || !stat || !status) continue;  // ended meanwhile
    const QList<QByteArray> fields = statFields(*stat);
    if (fields.size() < 3) continue;
    ProcessRecord record;
    record.processID = pid_t(pid);
    record.processName = QString::fromUtf8(comm->endsWith('\n') ? comm->chopped(1) : *comm);
    record.processGroup = pid_t(fields[2].toLong());
    for (const QByteArray& line : status->split('\n')) {
      if (!line.startsWith("Uid:")) continue;
      const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
      bool ok = false;
      const unsigned long uid = ids.size() >= 2 ? ids[1].toULong(&ok) : 0;
      if (ok) {
        record.userID = uid_t(uid);
        record.userName = loginName(uid_t(uid));
      }
      break;
    }
    list.push_back(std::move(record));
  }
  return list;
}

bool processEnded(pid_t pid, const QString& procRoot) {
  const auto stat = readSmall(procRoot + QLatin1Char('/') + QString::number(pid) + QStringLiteral("/stat"));
  if (!stat) return true;
  const QList<QByteArray> fields = statFields(*stat);
  return !fields.isEmpty() && (fields[0] == "Z" || fields[0] == "X");
}

}  // namespace zuvo
