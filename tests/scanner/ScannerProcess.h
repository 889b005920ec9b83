// Runs the real ZuvoScanner for a test, under the test's own home and session bus.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>

namespace zuvo::test {

class ScannerProcess {
 public:
  ScannerProcess();
  ~ScannerProcess();  // stops the program

  // Before start(): extra environment (the alert log is set unless the test sets it).
  QProcessEnvironment& environment() { return env_; }
  QString alertLogPath() const;

  bool start(const QStringList& arguments);
  void stop();
  bool isRunning() const;
  // Waits for the program to end by itself; false when it still runs.
  bool waitForFinished(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  int exitCode() const { return process_.exitCode(); }
  // Ended by itself, not by a signal.
  bool exitedNormally() const { return process_.exitStatus() == QProcess::NormalExit; }
  qint64 pid() const { return process_.processId(); }

  // A field of its /proc status in KiB ("VmHWM": its peak), -1 when unknown; resetPeak starts
  // a new peak from what it holds now.
  long statusKiB(const char* field) const;
  bool resetPeak() const;

  // Everything it wrote to stderr (its console log) so far.
  QString output();
  bool waitForOutput(const QString& text, std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  QProcess process_;
  QProcessEnvironment env_;
  QByteArray stderr_;
};

// The scan folder under the test's home (without the trailing slash).
QString scanFolder();
// Every line of the scanner's file logs so far.
QStringList fileLogLines();
// The process that owns the scanner's session-bus name, 0 when none does.
qint64 scannerNameOwner();

}  // namespace zuvo::test
