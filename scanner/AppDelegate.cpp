#include "scanner/AppDelegate.h"

#include "common/Log.h"
#include "platform/desktop/Alert.h"
#include "platform/fs/Paths.h"
#include "platform/desktop/SingleInstance.h"
#include "platform/desktop/UserDefaults.h"
#include "scanner/GlobalData.h"
#include "scanner/LaunchArguments.h"
#include "scanner/ScanRules.h"
#include "scanner/ScanUpload.h"
#include "ui_Settings.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QWidget>

#include <filesystem>
#include <system_error>

namespace {

const QString kObjectPath = QStringLiteral("/com/roza/zuvoscanner");
const QString kIsDuplex = QStringLiteral("isduplex");
const QString kDpiValue = QStringLiteral("dpivalue");

void logFolderError(const std::error_code& ec, const QString& path) {
  zuvo::logError(QStringLiteral("Error while creating Scan Document Path : %1 (%2)")
                     .arg(QString::fromLocal8Bit(ec.message().c_str()), path));
}

}  // namespace

AppDelegate::AppDelegate(const QStringList& arguments, QObject* parent)
    : QObject(parent), arguments_(arguments) {
  terminate = [](int code) {
    QMetaObject::invokeMethod(qApp, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
  };
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  // First of all: a copy already running keeps its folder and its window; it is only
  // brought to the front. Until the log is set up, messages go to stderr.
  instance_ = std::make_unique<zuvo::SingleInstance>(kScannerBundleIdentifier, kObjectPath,
                                                     [this] { bringToFront(); });
  QString busError;
  const zuvo::SingleInstance::Claim claim = instance_->claim(&busError);
  if (claim == zuvo::SingleInstance::Claim::AlreadyRunning) {
    QString error;
    if (zuvo::SingleInstance::activateRunning(kScannerBundleIdentifier, kObjectPath, &error))
      zuvo::logInfo(QStringLiteral("ZuvoScanner is already running: brought it to the front"));
    else
      zuvo::logError(QStringLiteral("ZuvoScanner is already running and did not answer: %1").arg(error));
    zuvo::flushLog();
    terminate(0);
    return;
  }

  prefs = std::make_unique<zuvo::UserDefaults>(kScannerBundleIdentifier);
  zuvo::setupLog(zuvo::paths::logsFolder(), kScannerBundleIdentifier, QStringLiteral("ZuvoScanner"));
  if (claim == zuvo::SingleInstance::Claim::NoBus)
    zuvo::logError(QStringLiteral("No session bus, a second copy cannot be told apart: %1").arg(busError));

  resetScanFolder(GlobalData::sharedGlobalData().getScanDocumentPath());

  const LaunchRequest request = parseLaunchArguments(arguments_);
  switch (request.mode) {
    case LaunchRequest::Mode::ScanDoc: {
      GlobalData& data = GlobalData::sharedGlobalData();
      data.token_scan_doc = request.token;
      data.upload_url_scan_doc = request.uploadUrl;
      data.scan_flag = request.scanFlag;
      scanDocWindowController = std::make_unique<ScanDocWindowController>(browserFactory);
      scanDocWindowController->showWindow();
      break;
    }
    case LaunchRequest::Mode::ScanSettings:
      showScanSettings();
      break;
    case LaunchRequest::Mode::Invalid:
      // Nothing to show: ending here leaves no invisible program behind.
      zuvo::logError(request.error);
      terminate(1);
      break;
  }
}

void AppDelegate::applicationWillTerminate() { zuvo::flushLog(); }

void AppDelegate::quitOnTerminationSignal() {
  zuvo::logInfo(QStringLiteral("Asked to quit: running requests are ended first"));
  // Long enough for a status report to a server that answers, and within the 5 seconds the
  // uninstaller waits for a program it asked to end.
  constexpr std::chrono::seconds kBound{4};
  zuvo::scanupload::finishRequestsThen([this] { terminate(0); }, kBound);
}

void AppDelegate::resetScanFolder(const QString& path) {
  // Without the trailing slash, so that a link in the folder's place is not followed.
  const std::filesystem::path folder(QFile::encodeName(QDir::cleanPath(path)).toStdString());
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  if (ec) logFolderError(ec, path);
  ec.clear();
  std::filesystem::create_directories(folder, ec);
  if (ec) logFolderError(ec, path);
}

void AppDelegate::bringToFront() {
  zuvo::logInfo(QStringLiteral("Brought to the front for another launch"));
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (!w->isVisible()) continue;
    w->raise();
    w->activateWindow();
  }
}

// ---- Settings window

void AppDelegate::showScanSettings() {
  settingsSheet = std::make_unique<QWidget>();
  settingsUi_ = std::make_unique<Ui::Settings>();
  settingsUi_->setupUi(settingsSheet.get());
  txtDpi = settingsUi_->txtDpi;
  btnDuplex = settingsUi_->btnDuplex;
  btnSave_Settings = settingsUi_->btnSave_Settings;
  btnClose_Settings = settingsUi_->btnClose_Settings;
  connect(btnSave_Settings, &QPushButton::clicked, this, &AppDelegate::saveSettings);
  connect(btnClose_Settings, &QPushButton::clicked, this, &AppDelegate::closeSettings);
  // A free-standing window above ordinary ones, centred on the screen.
  settingsSheet->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  settingsSheet->adjustSize();
  if (const QScreen* screen = settingsSheet->screen())
    settingsSheet->move(screen->availableGeometry().center() - settingsSheet->rect().center());

  btnDuplex->setChecked(prefs->boolForKey(kIsDuplex));
  if (prefs->objectForKey(kDpiValue)) txtDpi->setText(QString::number(prefs->integerForKey(kDpiValue)));

  settingsSheet->show();
  settingsSheet->raise();
  settingsSheet->activateWindow();
}

void AppDelegate::saveSettings() {
  prefs->setBool(btnDuplex->isChecked(), kIsDuplex);
  if (txtDpi->text().isEmpty()) txtDpi->setText(QStringLiteral("72"));
  prefs->setInteger(integerValueOfText(txtDpi->text()), kDpiValue);
  QString error;
  const bool stored = prefs->synchronize(&error);
  if (!stored) {
    zuvo::logError(QStringLiteral("Scan settings not saved: %1").arg(error));
    // Closing as if they were kept would have the next scan use the old settings unknowingly.
    zuvo::showAlert(QStringLiteral("The scan settings could not be saved."), error, {QStringLiteral("Ok")},
                    settingsSheet.get());
  }
  settingsSheet->hide();
  // A hidden settings window would keep an invisible scanner running.
  terminate(stored ? 0 : 1);
}

void AppDelegate::closeSettings() {
  settingsSheet->hide();
  terminate(0);
}
