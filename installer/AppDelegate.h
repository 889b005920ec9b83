// The installer's one window: the requirements check at start, then Install or Uninstall,
// progress while the steps run off the main thread, and the finished message.
#pragma once

#include "installer/InstallerLock.h"
#include "installer/Installation.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class QPushButton;
class QThread;
class QWidget;
namespace Ui {
class InstallerWindow;
}

namespace zuvo::installer {

struct OperatingSystemVersion {
  int major = 0;
  int minor = 0;
};
// Linux always passes the requirements check.
OperatingSystemVersion currentOperatingSystemVersion();

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  explicit AppDelegate(QString payload = payloadDirectory(),
                       OperatingSystemVersion version = currentOperatingSystemVersion(),
                       UninstallOptions uninstallOptions = {}, QObject* parent = nullptr);
  ~AppDelegate() override;

  QWidget* window() const;
  // Shows the window and runs the start-up check.
  void applicationDidFinishLaunching();

  void installPlugin();
  void uninstallPlugin();
  void cancelInstallation();
  void terminateApp();

  bool isBusy() const { return busy_; }

 signals:
  // The window is done: the program ends.
  void terminateRequested();
  // An installation or uninstallation has reached its finished state.
  void finished();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void hideAllButtons();
  void offer(QPushButton* main, bool mainFirst);
  void runSteps(bool installing);
  // The per-user lock for the steps; false (the user told) when another installer has it.
  bool takeLock();
  // Asks the user whether letters with changes the server never accepted are kept; any thread.
  bool askToKeepLetters(const QStringList& letters, const QString& folder);
  void showFinished(bool installing, int failures, const UninstallReport& report);

  QString payload_;
  OperatingSystemVersion version_;
  UninstallOptions uninstallOptions_;
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<Ui::InstallerWindow> ui_;
  QThread* worker_ = nullptr;
  std::unique_ptr<InstallerLock> lock_;
  bool busy_ = false;
};

}  // namespace zuvo::installer
