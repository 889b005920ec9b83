// The user's login items: the desktop entries of the user's XDG autostart folder
// ($XDG_CONFIG_HOME/autostart; the system's folders are never read or changed).
//
// An item is the program of its Exec line, unquoted and resolved to a canonical path; two
// items are the same program when those paths are equal. A program bundle <Name>.app
// stands for its executable <Name>.app/Contents/MacOS/<Name>. Entries whose program does
// not resolve are skipped: neither matched nor removed. Other programs' entries are only
// read. Items are listed in file-name order.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

#include <optional>

namespace zuvo {

class LoginItemManager : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)

 public:
  struct Item {
    QString file;        // the entry's path
    QString executable;  // the canonical path of its program
  };

  // Observes the autostart folder (or, while it is missing, the folder above it).
  explicit LoginItemManager(QObject* parent = nullptr);
  ~LoginItemManager() override;

  static QString autostartFolder();

  // The first item whose program is the URL's (a bundle or an executable path), or none.
  std::optional<Item> findItemWithURL(const QString& url) const;
  bool willLaunchAtLogin(const QString& url) const;

  // Adds the program (as com.roza.<name in lower case>.desktop, the folder made when missing)
  // or removes its first item. Adding a program that is an item already, or removing one
  // that is not, changes nothing. False with a reason when the entry cannot be written or
  // removed, or when another entry already has the file name.
  bool setLaunchAtLogin(bool enabled, const QString& url, QString* error = nullptr);

  // The running program's own bundle (or executable, when it is not in a bundle).
  static QString appURL();
  bool launchAtLogin() const;
  void setLaunchAtLogin(bool enabled);

  // The canonical executable a URL stands for; empty when it does not resolve.
  static QString resolveProgram(const QString& url);

 signals:
  void launchAtLoginChanged();

 private:
  void watch();

  QFileSystemWatcher watcher_;
};

}  // namespace zuvo
