// The installer has no log file: each failure goes to the system log and to stderr
// (a machine without a system log still shows it).
#pragma once

#include <QString>

#include <functional>

namespace zuvo::installer {

// Writes one error line; safe from any thread.
void logInstallerError(const QString& message);

// Counts the failed steps of one installation or uninstallation and logs each.
class StepLog {
 public:
  void fail(const QString& message);
  int failures() const { return failures_; }

 private:
  int failures_ = 0;
};

}  // namespace zuvo::installer
