#include "platform/desktop/UserDefaults.h"

#include "platform/fs/Files.h"
#include "platform/fs/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo {
namespace {

// QSettings tells only that the file could not be written. The system's reason comes from
// doing once more what it does: a new file beside it, written and synced. Empty when that works.
QString whyNotWritable(const QString& path) {
  const QByteArray target = QFile::encodeName(path);
  struct stat st {};
  if (::stat(target.constData(), &st) == 0 && S_ISDIR(st.st_mode)) return files::errnoText(EISDIR);
  QByteArray probe = QFile::encodeName(QFileInfo(path).absolutePath() + QStringLiteral("/.probe-XXXXXX"));
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return files::errnoText(errno);
  const QByteArray data(4096, '\n');  // a block, as small as the settings' file takes
  int error = 0;
  for (qsizetype done = 0; done < data.size() && !error;) {
    const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
    if (n >= 0) done += n;
    else if (errno != EINTR) error = errno;
  }
  if (!error && ::fsync(fd) != 0) error = errno;
  ::close(fd);
  ::unlink(probe.constData());
  return error ? files::errnoText(error) : QString();
}

}  // namespace

QString UserDefaults::filePath(const QString& bundleIdentifier) {
  return paths::configHomeDirectory() + QLatin1Char('/') + bundleIdentifier + QStringLiteral(".conf");
}

UserDefaults::UserDefaults(const QString& bundleIdentifier)
    : settings_(std::make_unique<QSettings>(filePath(bundleIdentifier), QSettings::IniFormat)) {}

UserDefaults::~UserDefaults() = default;

bool UserDefaults::boolForKey(const QString& key) const { return settings_->value(key).toBool(); }

std::optional<QVariant> UserDefaults::objectForKey(const QString& key) const {
  if (!settings_->contains(key)) return std::nullopt;
  return settings_->value(key);
}

qint64 UserDefaults::integerForKey(const QString& key) const {
  bool ok = false;
  const qint64 value = settings_->value(key).toLongLong(&ok);
  return ok ? value : 0;
}

void UserDefaults::setBool(bool value, const QString& key) { settings_->setValue(key, value); }

void UserDefaults::setInteger(qint64 value, const QString& key) { settings_->setValue(key, value); }

bool UserDefaults::synchronize(QString* error) {
  settings_->sync();
  if (settings_->status() == QSettings::NoError) return true;
  if (error) {
    const QString file = settings_->fileName();
    if (settings_->status() != QSettings::AccessError) {
      *error = QStringLiteral("%1 is not a settings file").arg(file);
    } else {
      const QString why = whyNotWritable(file);
      *error = why.isEmpty() ? QStringLiteral("%1 cannot be written").arg(file)
                             : QStringLiteral("%1 cannot be written: %2").arg(file, why);
    }
  }
  return false;
}

}  // namespace zuvo
