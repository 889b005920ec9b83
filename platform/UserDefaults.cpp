#include "platform/UserDefaults.h"

#include "platform/Paths.h"

#include <QDir>
#include <QSettings>

namespace zuvo {

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
  if (error)
    *error = settings_->status() == QSettings::AccessError
                 ? QStringLiteral("%1 cannot be written").arg(settings_->fileName())
                 : QStringLiteral("%1 is not a settings file").arg(settings_->fileName());
  return false;
}

}  // namespace zuvo
