// One installation or uninstallation at a time per user: a lock (flock) on
// ZuvoDocPluginInstaller.lock in $XDG_RUNTIME_DIR when that is private to the user, else in
// the user's data folder ($XDG_DATA_HOME). The lock goes with the process, also when it dies.
#pragma once

#include <QString>

#include <memory>

namespace zuvo::installer {

QString installerLockPath();

class InstallerLock {
 public:
  enum class Result { Taken, Busy, Failed };
  // Takes the lock without waiting: Busy when another installer holds it; Failed (reason in
  // *error) when the lock file cannot be opened.
  static Result take(std::unique_ptr<InstallerLock>* lock, QString* error = nullptr);
  ~InstallerLock();
  InstallerLock(const InstallerLock&) = delete;
  InstallerLock& operator=(const InstallerLock&) = delete;

 private:
  explicit InstallerLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace zuvo::installer
