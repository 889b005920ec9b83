// A program's own small settings, kept in $XDG_CONFIG_HOME/<bundle identifier>.conf (an INI
// file). A key never written reads as false, nothing or 0.
#pragma once

#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

class QSettings;

namespace zuvo {

class UserDefaults {
 public:
  explicit UserDefaults(const QString& bundleIdentifier);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // $XDG_CONFIG_HOME when it is absolute, else ~/.config; then "/<bundleIdentifier>.conf".
  static QString filePath(const QString& bundleIdentifier);

  bool boolForKey(const QString& key) const;
  std::optional<QVariant> objectForKey(const QString& key) const;
  // The stored value as an integer; 0 when missing or not a number.
  qint64 integerForKey(const QString& key) const;
  void setBool(bool value, const QString& key);
  void setInteger(qint64 value, const QString& key);
  // Writes pending changes and rereads the file. False when it cannot be written, with the
  // reason: the system's ("No space left on device") where it can be found.
  bool synchronize(QString* error = nullptr);

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace zuvo
