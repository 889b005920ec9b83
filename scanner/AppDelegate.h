// The scanner's start-up: one running copy per user, logging, the emptied scan folder, and
// the window the launch mode asks for: the scanner window or the scan settings window.
#pragma once

#include "scanner/ScanDocWindowController.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QWidget;
namespace Ui {
class Settings;
}
namespace zuvo {
class SingleInstance;
class UserDefaults;
}

class AppDelegate : public QObject {
  Q_OBJECT
 public:
  // arguments: the process arguments as given, element 0 the program path.
  explicit AppDelegate(const QStringList& arguments, QObject* parent = nullptr);
  ~AppDelegate() override;

  void applicationDidFinishLaunching();
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
  // Whatever is still to be logged is written before the program ends.
  void applicationWillTerminate();
  // SIGTERM or SIGINT: a normal quit, once a running upload has ended on its failure road.
  void quitOnTerminationSignal();

  void showScanSettings();
  void saveSettings();
  void closeSettings();

  // Removes whatever is at the path (a symbolic link itself, never what it points to) and
  // makes the folder again; failures are logged and the launch goes on.
  static void resetScanFolder(const QString& path);

  std::unique_ptr<zuvo::UserDefaults> prefs;
  std::unique_ptr<ScanDocWindowController> scanDocWindowController;
  std::unique_ptr<QWidget> settingsSheet;
  QLineEdit* txtDpi = nullptr;
  QCheckBox* btnDuplex = nullptr;
  QPushButton* btnSave_Settings = nullptr;
  QPushButton* btnClose_Settings = nullptr;

  // Ends the program with the exit code, once control is back in the event loop.
  std::function<void(int)> terminate;
  // The scanner window's device browser (SANE when empty).
  ScanDocWindowController::BrowserFactory browserFactory;

 private:
  void bringToFront();

  QStringList arguments_;
  std::unique_ptr<zuvo::SingleInstance> instance_;
  std::unique_ptr<Ui::Settings> settingsUi_;
};
