#include "common/LetterState.h"

#include "platform/fs/PrivateFile.h"
#include "platform/core/ErrorReport.h"
#include "platform/fs/Files.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <sys/stat.h>

namespace zuvo::letters {
namespace {

using std::chrono::nanoseconds;

QString stateFolder(const QString& editorFolder) { return editorFolder + QStringLiteral("/State"); }

bool lstatOf(const QString& path, struct stat* st) { return ::lstat(QFile::encodeName(path).constData(), st) == 0; }

std::optional<nanoseconds> fileTime(const QString& path) {
  struct stat st {};
  if (!lstatOf(path, &st) || !S_ISREG(st.st_mode)) return std::nullopt;
  return nanoseconds(qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec);
}

bool writeRecord(const QString& editorFolder, const QString& token, const Record& r, QString* error) {
  if (!files::makeOwnerOnlyFolder(stateFolder(editorFolder), error)) return false;
  QJsonObject o{{QStringLiteral("name"), r.name}, {QStringLiteral("backupUnsent"), r.backupUnsent}};
  // As text: a double cannot hold every nanosecond count.
  if (r.accepted) o.insert(QStringLiteral("accepted"), QString::number(qint64(r.accepted->count())));
  return writePrivateFileAtomically(recordPath(editorFolder, token), QJsonDocument(o).toJson(QJsonDocument::Compact),
                                    error);
}

// The letter's file in its token folder: the recorded name, else the one file that is not
// the word processor's ("~$" lock files, hidden ones).
QString documentIn(const QString& folder, const std::optional<Record>& record) {
  if (record && !record->name.isEmpty()) return folder + QLatin1Char('/') + record->name;
  for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::NoSymLinks, QDir::Name))
    if (!name.startsWith(QLatin1String("~$"))) return folder + QLatin1Char('/') + name;
  return {};
}

// The document holds a change the server does not have: no record tells which copy the
// server has, or the file is not that copy.
bool documentUnsent(const QString& document, const std::optional<Record>& record) {
  const std::optional<nanoseconds> time = fileTime(document);
  if (!time) return false;
  return !record || !record->accepted || *time != *record->accepted;
}

bool isFolder(const QString& path) {
  struct stat st {};
  return lstatOf(path, &st) && S_ISDIR(st.st_mode);
}

}  // namespace

QByteArray backupPassword() { return QByteArrayLiteral("Kavrel902476"); }

QString recordPath(const QString& editorFolder, const QString& token) {
  return stateFolder(editorFolder) + QLatin1Char('/') + token;
}

std::optional<Record> readRecord(const QString& editorFolder, const QString& token) {
  const QByteArray bytes = readFileNoFollow(recordPath(editorFolder, token));
  const QJsonObject o = QJsonDocument::fromJson(bytes).object();
  if (o.isEmpty()) return std::nullopt;
  Record r;
  r.name = o.value(QStringLiteral("name")).toString();
  // A name with a folder in it was not written here.
  if (r.name.contains(QLatin1Char('/'))) r.name.clear();
  bool ok = false;
  const qint64 accepted = o.value(QStringLiteral("accepted")).toString().toLongLong(&ok);
  if (ok) r.accepted = nanoseconds(accepted);
  r.backupUnsent = o.value(QStringLiteral("backupUnsent")).toBool();
  return r;
}

bool recordAccepted(const QString& editorFolder, const QString& token, const QString& name, nanoseconds modified,
                    QString* error) {
  Record r = readRecord(editorFolder, token).value_or(Record{});
  r.name = name;
  r.accepted = modified;
  return writeRecord(editorFolder, token, r, error);
}

void noteBackedUpFolder(const QString& editorFolder, const QString& token, const QString& folder) {
  std::optional<Record> record = readRecord(editorFolder, token);
  if (record && record->backupUnsent) return;
  const QString document = documentIn(folder, record);
  if (document.isEmpty() || !documentUnsent(document, record)) return;
  Record r = record.value_or(Record{});
  if (r.name.isEmpty()) r.name = document.mid(folder.size() + 1);
  r.backupUnsent = true;
  QString why;
  if (!writeRecord(editorFolder, token, r, &why)) reportError(QStringLiteral("%1 : %2").arg(token, why));
}

std::vector<Unsent> unsentLetters(const QString& editorFolder) {
  std::vector<Unsent> found;
  const QDir documents(editorFolder + QStringLiteral("/Documents"));
  for (const QString& token : documents.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks)) {
    const QString folder = documents.filePath(token);
    if (!isFolder(folder)) continue;
    const std::optional<Record> record = readRecord(editorFolder, token);
    const QString document = documentIn(folder, record);
    if (!document.isEmpty() && documentUnsent(document, record))
      found.push_back({token, document.mid(folder.size() + 1), document});
  }
  const QDir backup(editorFolder + QStringLiteral("/Backup"));
  const QStringList backups = backup.entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                                               QDir::Name);
  for (const QString& token : QDir(stateFolder(editorFolder)).entryList(QDir::Files | QDir::NoSymLinks, QDir::Name)) {
    const std::optional<Record> record = readRecord(editorFolder, token);
    if (!record || !record->backupUnsent) continue;
    // The archive, the older dated ones ("<token>-yyyyMMdd-HHmmss[-n].zip") and the fallback.
    const QRegularExpression archive(QStringLiteral("^%1(-\\d{8}-\\d{6}(-\\d+)?)?\\.zip$")
                                         .arg(QRegularExpression::escape(token)));
    for (const QString& entry : backups) {
      if (archive.match(entry).hasMatch() || (entry == token && isFolder(backup.filePath(entry))))
        found.push_back({token, record->name, backup.filePath(entry)});
    }
  }
  return found;
}

}  // namespace zuvo::letters
