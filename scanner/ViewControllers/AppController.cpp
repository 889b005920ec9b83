#include "scanner/ViewControllers/AppController.h"

#include "common/Log.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/UserDefaults.h"
#include "platform/fs/Files.h"
#include "scanner/AppDelegate.h"
#include "scanner/GlobalData.h"
#include "scanner/ImageBrowser/Controller/AAPLBrowserWindowController.h"
#include "scanner/ScanPages.h"
#include "scanner/ScanRules.h"
#include "scanner/UploadFlow.h"
#include "scanner/ValueTransformers.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QWidget>

using zuvo::scan::chooseResolution;
using zuvo::scan::kDeviceTypeScanner;

AppController::AppController(const Outlets& outlets, QObject* parent)
    : QObject(parent), o_(outlets), pageWriter_(std::make_unique<zuvo::scan::ScanPageWriter>()) {
  connect(pageWriter_.get(), &zuvo::scan::ScanPageWriter::pageFailed, this, &AppController::pageWriteFailed);
  zuvo::scanflow::Services s = zuvo::scanflow::scannerServices();
  s.pages = [] { return zuvo::scanupload::pagesInFolder(GlobalData::sharedGlobalData().getScanDocumentPath()); };
  s.alert = [this](const QString& message, const QString& informative, const QString& button, bool sheet) {
    zuvo::showAlert(message, informative, {button}, sheet ? o_.mWindow : nullptr);
  };
  s.closeWindow = [this] {
    if (o_.mWindow) o_.mWindow->close();
  };
  s.uploadStarted = [this] {
    // The bar takes whole numbers: the fraction sent in thousandths.
    o_.mProgressIndicator->setRange(0, 1000);
    o_.mProgressIndicator->setValue(0);
    o_.mProgressIndicator->setVisible(true);
  };
  s.uploadProgress = [this](double fraction) { o_.mProgressIndicator->setValue(int(fraction * 1000)); };
  s.uploadEnded = [this] { hideProgress(); };
  upload_ = std::make_unique<zuvo::scanflow::UploadFlow>(zuvo::scanflow::kQuickRoad, std::move(s));
}

AppController::~AppController() {
  // Devices belong to the browser; nothing may call back into this half-destroyed object.
  for (const QPointer<ScannerDevice>& d : mScanners)
    if (d) d->disconnect(this);
  if (mDeviceBrowser) mDeviceBrowser->disconnect(this);
}

void AppController::awakeFromNib(std::unique_ptr<ScannerBrowser> browser) {
  preferences = std::make_unique<zuvo::UserDefaults>(kScannerBundleIdentifier);

  if (QWidget* w = o_.mWindow) {
    // Above ordinary windows, like a status window, centred, on a dark background.
    w->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    QPalette palette = w->palette();
    palette.setColor(QPalette::Window, QColor::fromRgbF(0.2f, 0.2f, 0.2f, 1.0f));
    palette.setColor(QPalette::WindowText, Qt::white);
    w->setPalette(palette);
    w->setAutoFillBackground(true);
    if (const QScreen* screen = w->screen())
      w->move(screen->availableGeometry().center() - w->rect().center());
  }

  mScanners.clear();
  o_.mScannersTableView->setSelectionMode(QAbstractItemView::SingleSelection);
  connect(o_.mScannersTableView, &QListWidget::itemSelectionChanged, this,
          &AppController::tableViewSelectionDidChange);
  connect(o_.mFunctionalUnitMenu, &QComboBox::activated, this, &AppController::selectFunctionalUnit);
  connect(o_.butScan, &QPushButton::clicked, this, &AppController::startScan);
  connect(o_.butOverview, &QPushButton::clicked, this, &AppController::startOverviewScan);
  connect(o_.butOpen, &QPushButton::clicked, this, [this] {
    ScannerDevice* scanner = selectedScanner();
    if (scanner && scanner->hasOpenSession()) closeSession();
    else openSession();
  });
  connect(o_.butCancelRequest, &QPushButton::clicked, this, &AppController::closeScannerWindow);
  // Enabled once a session opens.
  o_.butScan->setEnabled(false);
  hideProgress();

  mDeviceBrowser = std::move(browser);
  if (mDeviceBrowser) {
    connect(mDeviceBrowser.get(), &ScannerBrowser::didAddDevice, this, &AppController::deviceBrowserDidAddDevice);
    connect(mDeviceBrowser.get(), &ScannerBrowser::didRemoveDevice, this,
            &AppController::deviceBrowserDidRemoveDevice);
    mDeviceBrowser->start();
  }

  clearFunctionalUnitMenu();
  updateControlTitles();

  if (o_.mWindow) {
    o_.mWindow->installEventFilter(this);
    observingWindow_ = true;
  }
}

bool AppController::eventFilter(QObject* watched, QEvent* event) {
  if (observingWindow_ && watched == o_.mWindow && event->type() == QEvent::Close) scannerWindowWillClose();
  return QObject::eventFilter(watched, event);
}

// ---- Queries

AppController::ScannerDevice* AppController::selectedScanner() const {
  const QList<QListWidgetItem*> selected = o_.mScannersTableView->selectedItems();
  if (selected.isEmpty()) return nullptr;
  const int row = o_.mScannersTableView->row(selected.first());
  if (row < 0 || row >= mScanners.size()) return nullptr;
  return mScanners[row].data();
}

QList<AppController::ScannerDevice*> AppController::scanners() const {
  QList<ScannerDevice*> list;
  for (const QPointer<ScannerDevice>& d : mScanners)
    if (d) list.append(d.data());
  return list;
}

QString AppController::describe(const ScannerDevice* device) {
  if (!device) return QStringLiteral("(null)");
  return QStringLiteral("%1 %2 (%3)").arg(device->vendor(), device->model(), device->name());
}

// ---- Browser

void AppController::deviceBrowserDidAddDevice(ScannerDevice* device, bool moreComing) {
  (void)moreComing;
  if (!device || !(device->type() & kDeviceTypeScanner)) return;
  for (const QPointer<ScannerDevice>& d : mScanners)
    if (d == device) return;
  mScanners.append(QPointer<ScannerDevice>(device));
  o_.mScannersTableView->addItem(describe(device));

  connect(device, &ScannerDevice::didOpenSession, this,
          [this, device](const QString& error) { deviceDidOpenSessionWithError(device, error); });
  connect(device, &ScannerDevice::didCloseSession, this, [this, device](const QString&) {
    readyDevices_.remove(device);
    if (device == selectedScanner()) clearFunctionalUnitMenu();
    updateControlTitles();
  });
  connect(device, &ScannerDevice::didBecomeReady, this, [this, device] { deviceDidBecomeReady(device); });
  connect(device, &ScannerDevice::didBecomeAvailable, this,
          [this, device] { scannerDeviceDidBecomeAvailable(device); });
  connect(device, &ScannerDevice::didSelectFunctionalUnit, this,
          [this](int, const QString&) { updateControlTitles(); });
  connect(device, &ScannerDevice::didReceiveStatusInformation, this,
          [this, device](const QString& status, const QString& localized) {
            deviceDidReceiveStatusInformation(device, status, localized);
          });
  connect(device, &ScannerDevice::didEncounterError, this,
          [this, device](const QString& error) { deviceDidEncounterError(device, error); });
  connect(device, &ScannerDevice::didRemoveDevice, this, [this, device] { didRemoveDevice(device); });
  connect(device, &ScannerDevice::didScanPage, this,
          [this, device](const QImage& image, int dpi) { scannerDeviceDidScanPage(device, image, dpi); });
  connect(device, &ScannerDevice::didCompleteOverviewScan, this,
          [this, device](const QImage& image, const QString& error) {
            scannerDeviceDidCompleteOverviewScanWithError(device, image, error);
          });
  connect(device, &ScannerDevice::didCompleteScan, this,
          [this, device](const QString& error) { scannerDeviceDidCompleteScanWithError(device, error); });
}

void AppController::deviceBrowserDidRemoveDevice(ScannerDevice* device, bool moreGoing) {
  (void)moreGoing;
  didRemoveDevice(device);
}

void AppController::didRemoveDevice(ScannerDevice* device) {
  qsizetype row = -1;
  for (qsizetype i = 0; i < mScanners.size(); ++i)
    if (mScanners[i] == device) row = i;
  if (row < 0) return;
  const bool wasSelected = device == selectedScanner();
  device->disconnect(this);
  readyDevices_.remove(device);
  mScanners.removeAt(row);
  {
    // The rows follow mScanners; the selection change is handled once, below.
    const QSignalBlocker block(o_.mScannersTableView);
    delete o_.mScannersTableView->takeItem(int(row));
    if (wasSelected) o_.mScannersTableView->clearSelection();
  }
  if (wasSelected) {
    clearFunctionalUnitMenu();
    hideProgress();
  }
  updateControlTitles();
}

// ---- Sessions

void AppController::tableViewSelectionDidChange() {
  ScannerDevice* selected = selectedScanner();
  // Only the selected scanner keeps a session.
  for (const QPointer<ScannerDevice>& d : mScanners)
    if (d && d != selected && d->hasOpenSession()) d->requestCloseSession();
  clearFunctionalUnitMenu();
  if (selected && selected->hasOpenSession() && readyDevices_.contains(selected)) buildFunctionalUnitMenu(selected);
  openSession();
  updateControlTitles();
}

void AppController::openSession() {
  ScannerDevice* scanner = selectedScanner();
  if (scanner && !scanner->hasOpenSession()) scanner->requestOpenSession();
}

void AppController::closeSession() {
  ScannerDevice* scanner = selectedScanner();
  if (scanner && scanner->hasOpenSession()) scanner->requestCloseSession();
}

void AppController::scannerWindowWillClose() {
  // Every handle this window opened is closed with it.
  for (const QPointer<ScannerDevice>& d : mScanners)
    if (d && d->hasOpenSession()) d->requestCloseSession();
  observingWindow_ = false;
  if (o_.mWindow) o_.mWindow->removeEventFilter(this);
}

void AppController::closeScannerWindow() {
  closeSession();
  // This close is the cancel's own: the window's close handling is not run for it.
  observingWindow_ = false;
  if (o_.mWindow) o_.mWindow->removeEventFilter(this);
  upload_->cancel([this] {
    if (!o_.mWindow || observingWindow_) return;
    // The window stays; closing it later is an ordinary close again.
    o_.mWindow->installEventFilter(this);
    observingWindow_ = true;
  });
}

void AppController::deviceDidOpenSessionWithError(ScannerDevice* device, const QString& error) {
  if (device != selectedScanner()) {
    // The user moved on while this session was opening.
    if (error.isEmpty() && device->hasOpenSession()) device->requestCloseSession();
    return;
  }
  if (error.isEmpty()) {
    o_.butScan->setEnabled(true);
    updateControlTitles();
    return;
  }
  o_.butScan->setEnabled(false);
  zuvo::logError(QStringLiteral("device:didOpenSessionWithError: \n"));
  zuvo::logError(QStringLiteral("  device: %1\n").arg(zuvo::loggableValue(describe(device))));
  zuvo::logError(QStringLiteral("  error : %1\n").arg(zuvo::loggableValue(error)));
  showSheet(error);
  updateControlTitles();
}

void AppController::scannerDeviceDidBecomeAvailable(ScannerDevice* device) {
  if (device == selectedScanner() && !device->hasOpenSession()) device->requestOpenSession();
}

// ---- Functional units

void AppController::clearFunctionalUnitMenu() {
  const QSignalBlocker block(o_.mFunctionalUnitMenu);
  o_.mFunctionalUnitMenu->clear();
  o_.mFunctionalUnitMenu->setEnabled(false);
}

void AppController::deviceDidBecomeReady(ScannerDevice* device) {
  readyDevices_.insert(device);
  if (device == selectedScanner()) buildFunctionalUnitMenu(device);
  updateControlTitles();
}

void AppController::buildFunctionalUnitMenu(ScannerDevice* device) {
  const QList<int> types = device->availableFunctionalUnitTypes();
  const std::optional<zuvo::scan::FunctionalUnit> unit = device->selectedFunctionalUnit();
  clearFunctionalUnitMenu();
  if (types.isEmpty()) return;
  const QSignalBlocker block(o_.mFunctionalUnitMenu);
  o_.mFunctionalUnitMenu->setEnabled(true);
  for (int type : types)
    if (const std::optional<QString> title = functionalUnitTitle(type)) o_.mFunctionalUnitMenu->addItem(*title, type);
  if (unit) {
    const int index = o_.mFunctionalUnitMenu->findData(unit->type);
    if (index >= 0) o_.mFunctionalUnitMenu->setCurrentIndex(index);
  }
}

void AppController::selectFunctionalUnit(int menuIndex) {
  if (menuIndex < 0 || menuIndex >= o_.mFunctionalUnitMenu->count()) return;
  const int type = o_.mFunctionalUnitMenu->itemData(menuIndex).toInt();
  ScannerDevice* scanner = selectedScanner();
  if (!scanner || !scanner->hasOpenSession()) return;
  const std::optional<zuvo::scan::FunctionalUnit> unit = scanner->selectedFunctionalUnit();
  if (!unit || unit->type != type) scanner->requestSelectFunctionalUnit(type);
}

// ---- Status and errors

void AppController::deviceDidReceiveStatusInformation(ScannerDevice* device, const QString& status,
                                                      const QString& localized) {
  (void)device;
  if (status == QLatin1String("WarmingUp")) {
    o_.mProgressIndicator->setRange(0, 0);  // indeterminate
    o_.mProgressIndicator->setVisible(true);
    o_.mStatusText->setText(localized);
  } else if (status == QLatin1String("WarmUpDone")) {
    o_.mStatusText->setText(QString());
    o_.mProgressIndicator->setRange(0, 100);
    o_.mProgressIndicator->setVisible(false);
  }
}

void AppController::deviceDidEncounterError(ScannerDevice* device, const QString& error) {
  zuvo::logError(QStringLiteral("device: \n%1\ndidEncounterError: \n%2\n")
                     .arg(zuvo::loggableValue(describe(device)), zuvo::loggableValue(error)));
  readyToScan = false;
  showSheet(error);
}

void AppController::showSheet(const QString& informative) {
  // Shown once the device's callback has returned, window-modal on the scanner window.
  QPointer<QWidget> window(o_.mWindow);
  QTimer::singleShot(0, this, [window, informative] {
    zuvo::showAlert(QString(), informative, {QStringLiteral("Ok")}, window.data());
  });
}

// ---- Scans

void AppController::showProgress() { o_.mProgressIndicator->setVisible(true); }

void AppController::hideProgress() { o_.mProgressIndicator->setVisible(false); }

void AppController::startOverviewScan() {
  ScannerDevice* scanner = selectedScanner();
  if (!scanner || !scanner->hasOpenSession()) return;
  const std::optional<zuvo::scan::FunctionalUnit> unit = scanner->selectedFunctionalUnit();
  if (!unit) return;
  // The last scan's end, once its pages are written, closes the session under an overview.
  if (pageWriter_->pending() > 0) return;
  if (unit->canPerformOverviewScan && !unit->scanInProgress && !unit->overviewScanInProgress) {
    scanner->requestOverviewScan(chooseResolution(unit->supportedResolutions, 72));
    showProgress();
  } else {
    scanner->cancelScan();
  }
  updateControlTitles();
}

void AppController::startScan() {
  ScannerDevice* scanner = selectedScanner();
  if (!scanner || !scanner->hasOpenSession()) return;
  const std::optional<zuvo::scan::FunctionalUnit> unit = scanner->selectedFunctionalUnit();
  if (!unit) return;
  if (unit->scanInProgress || unit->overviewScanInProgress) {
    scanner->cancelScan();
    updateControlTitles();
    return;
  }
  // The last scan is not over while its pages are being written, nor while they are sent: a
  // new scan empties the folder they are read from.
  if (pageWriter_->pending() > 0 || upload_->busy()) return;
  zuvo::scan::ScanSettings settings;
  if (unit->type == zuvo::scan::DocumentFeeder) {
    settings.documentType = 1;  // A4
    if (unit->supportsDuplexScanning)
      settings.duplexScanningEnabled = preferences->boolForKey(QStringLiteral("isduplex"));
  } else {
    settings.measurementUnit = 0;  // inches
    settings.scanArea = QRectF(QPointF(0, 0), unit->physicalSize);
  }
  settings.resolution =
      chooseResolution(unit->supportedResolutions, preferences->integerForKey(QStringLiteral("dpivalue")));
  settings.bitDepth = 8;
  settings.pixelDataType = 2;  // RGB
  settings.transferMode = 0;   // file based
  const QString folder = GlobalData::sharedGlobalData().getScanDocumentPath();
  pageWriter_->begin(folder, QStringLiteral("Scan"));
  // Pages of an earlier attempt must not go out with this scan's, and its "Scan.jpeg" would
  // keep this scan's first page from its name.
  AppDelegate::resetScanFolder(folder);
  // Only pages of this scan count for its completion.
  readyToScan = false;
  scanningDevice_ = scanner;
  scanner->requestScan(settings);
  showProgress();
  updateControlTitles();
}

void AppController::scannerDeviceDidScanPage(ScannerDevice* device, const QImage& image, int dpi) {
  (void)device;
  readyToScan = true;
  pageWriter_->add(image, dpi);
}

void AppController::pageWriteFailed(const QString& error) {
  ScannerDevice* device = scanningDevice_.data();
  deviceDidEncounterError(device, error);
  // Like a device error, it ends the scan: no page after it.
  if (device && device->hasOpenSession()) {
    const std::optional<zuvo::scan::FunctionalUnit> unit = device->selectedFunctionalUnit();
    if (unit && unit->scanInProgress) device->cancelScan();
  }
}

void AppController::scannerDeviceDidCompleteOverviewScanWithError(ScannerDevice* device, const QImage& image,
                                                                  const QString& error) {
  (void)device;
  (void)error;
  hideProgress();
  if (!image.isNull()) {
    const QPixmap picture = ValueTransformers::CGImageRefToNSImageTransformer(image);
    o_.mOverviewImage->setPixmap(
        picture.scaled(o_.mOverviewImage->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  updateControlTitles();
}

void AppController::scannerDeviceDidCompleteScanWithError(ScannerDevice* device, const QString& error) {
  const QString text = describe(device);
  pageWriter_->whenWritten([this, text, error] {
    // A page that could not be written is what ended the scan.
    const QString failure = pageWriter_->failure();
    scanCompleted(text, failure.isEmpty() ? error : failure);
  });
}

void AppController::scanCompleted(const QString& device, const QString& error) {
  hideProgress();
  updateControlTitles();
  if (!error.isEmpty()) {
    zuvo::logInfo(QStringLiteral("scannerDevice: \n%1\ndidCompleteScanWithError: \n%2\n")
                      .arg(zuvo::loggableValue(device), zuvo::loggableValue(error)));
    return;
  }
  if (!readyToScan) return;
  closeSession();

  const QString folder = QDir::cleanPath(GlobalData::sharedGlobalData().getScanDocumentPath());
  const QString first = folder + QStringLiteral("/Scan.jpeg");
  if (QFileInfo::exists(first)) {
    QString why;
    if (!zuvo::files::renameNoReplace(first, folder + QStringLiteral("/Scan 0.jpeg"), &why))
      zuvo::logError(QStringLiteral("Error while moving file %1 : %2").arg(first, why));
  } else {
    zuvo::logError(QStringLiteral("File %1 doesn't exists").arg(first));
  }
  if (GlobalData::sharedGlobalData().scan_flag == QStringLiteral("true")) quickRoad();
  else browserRoad();
}

void AppController::quickRoad() { upload_->start(); }

void AppController::browserRoad() {
  auto browser = std::make_shared<AAPLBrowserWindowController>(
      QUrl::fromLocalFile(GlobalData::sharedGlobalData().getScanDocumentPath()));
  QWidget* w = browser->window();
  if (!w) return;
  // Shown before the scanner window closes, so that the program never runs out of windows.
  w->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  if (const QScreen* screen = w->screen()) w->move(screen->availableGeometry().center() - w->rect().center());
  browser->showWindow();
  browserWindowControllers.insert(browser);
  if (o_.mWindow) o_.mWindow->close();
}

void AppController::updateControlTitles() {
  ScannerDevice* scanner = selectedScanner();
  const std::optional<zuvo::scan::FunctionalUnit> unit =
      scanner && scanner->hasOpenSession() ? scanner->selectedFunctionalUnit() : std::nullopt;
  o_.butOpen->setText(ValueTransformers::OpenControlTitle(scanner ? QVariant(scanner->hasOpenSession()) : QVariant()));
  o_.butOverview->setText(
      ValueTransformers::OverviewControlTitle(unit ? QVariant(unit->overviewScanInProgress) : QVariant()));
  o_.butScan->setText(ValueTransformers::ScanControlTitle(unit ? QVariant(unit->scanInProgress) : QVariant()));
}
