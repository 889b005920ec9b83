#include "FakeScannerDevice.h"

#include <QPointer>
#include <QTimer>

namespace zuvo::test {

namespace {
const QString kInvalid = QStringLiteral("Invalid argument");
const QString kCancelled = QStringLiteral("Operation was canceled");
const QString kFeederEmpty = QStringLiteral("Document feeder out of documents");
const QString kDeviceGone = QStringLiteral("Error during device I/O");
}  // namespace

FakeScannerDevice::FakeScannerDevice(const QString& name, const FakeScannerScript& s, unsigned type,
                                     QObject* parent)
    : ScannerDevice(parent), script(s), name_(name), type_(type) {}

void FakeScannerDevice::later(std::function<void()> f) { QTimer::singleShot(0, this, std::move(f)); }

scan::FunctionalUnit FakeScannerDevice::unitOfType(int type) const {
  scan::FunctionalUnit unit;
  unit.type = type;
  unit.canPerformOverviewScan = type != scan::DocumentFeeder && script.overviewScans;
  unit.supportedResolutions = script.resolutions;
  unit.physicalSize = script.physicalSize;
  unit.supportsDuplexScanning = type == scan::DocumentFeeder && script.duplex;
  return unit;
}

void FakeScannerDevice::requestOpenSession() {
  ++openRequests;
  later([this] {
    if (gone_) return;
    if (!script.openError.isEmpty()) {
      emit didOpenSession(script.openError);
      return;
    }
    open_ = true;
    unit_.reset();
    if (!script.unitTypes.isEmpty()) unit_ = unitOfType(script.selectedUnit.value_or(script.unitTypes.first()));
    emit didOpenSession(QString());
    emit didBecomeReady();
  });
}

void FakeScannerDevice::requestCloseSession() {
  ++closeRequests;
  if (unit_ && (unit_->scanInProgress || unit_->overviewScanInProgress)) cancelScan();
  later([this] {
    if (gone_) return;
    open_ = false;
    emit didCloseSession(QString());
  });
}

QList<int> FakeScannerDevice::availableFunctionalUnitTypes() const {
  return open_ ? script.unitTypes : QList<int>();
}

std::optional<scan::FunctionalUnit> FakeScannerDevice::selectedFunctionalUnit() const {
  if (!open_ || !unit_) return std::nullopt;
  scan::FunctionalUnit unit = unitOfType(unit_->type);
  unit.scanInProgress = unit_->scanInProgress;
  unit.overviewScanInProgress = unit_->overviewScanInProgress;
  return unit;
}

void FakeScannerDevice::requestSelectFunctionalUnit(int type) {
  selectRequests.append(type);
  later([this, type] {
    if (!open_ || !script.unitTypes.contains(type)) {
      emit didSelectFunctionalUnit(type, kInvalid);
      return;
    }
    unit_ = unitOfType(type);
    emit didSelectFunctionalUnit(type, QString());
  });
}

void FakeScannerDevice::requestOverviewScan(int resolution) {
  ++overviewRequests;
  lastOverviewResolution = resolution;
  if (!open_ || !unit_ || unit_->scanInProgress || unit_->overviewScanInProgress) {
    later([this] { emit didCompleteOverviewScan(QImage(), kInvalid); });
    return;
  }
  unit_->overviewScanInProgress = true;
  overview_ = true;
  held_ = script.holdScans;
  if (!held_) later([this] { runOverview(); });
}

void FakeScannerDevice::requestScan(const scan::ScanSettings& settings) {
  ++scanRequests;
  lastScanSettings = settings;
  if (!open_ || !unit_ || unit_->scanInProgress || unit_->overviewScanInProgress) {
    later([this] { emit didCompleteScan(kInvalid); });
    return;
  }
  unit_->scanInProgress = true;
  overview_ = false;
  if (script.warmUp) {
    later([this] {
      emit didReceiveStatusInformation(QStringLiteral("WarmingUp"), QStringLiteral("Warming up"));
      emit didReceiveStatusInformation(QStringLiteral("WarmUpDone"), QString());
    });
  }
  held_ = script.holdScans;
  if (!held_) later([this] { runScan(); });
}

void FakeScannerDevice::cancelScan() {
  ++cancelRequests;
  if (!unit_ || !(unit_->scanInProgress || unit_->overviewScanInProgress)) return;
  held_ = false;
  later([this] {
    if (unit_ && (unit_->scanInProgress || unit_->overviewScanInProgress)) finish(kCancelled, false);
  });
}

void FakeScannerDevice::releaseScan() {
  if (!held_) return;
  held_ = false;
  later([this] { overview_ ? runOverview() : runScan(); });
}

void FakeScannerDevice::finishScan(const QList<QImage>& pages, const QString& error) {
  const int dpi = lastScanSettings ? lastScanSettings->resolution : 0;
  for (const QImage& page : pages) emit didScanPage(page, dpi);
  if (unit_) unit_->scanInProgress = false;
  held_ = false;
  emit didCompleteScan(error);
}

void FakeScannerDevice::finishOverview(const QImage& image, const QString& error) {
  if (unit_) unit_->overviewScanInProgress = false;
  held_ = false;
  emit didCompleteOverviewScan(image, error);
}

void FakeScannerDevice::runOverview() {
  if (!unit_ || !unit_->overviewScanInProgress) return;
  QImage image(script.pagePixels, QImage::Format_RGB888);
  image.fill(Qt::gray);
  unit_->overviewScanInProgress = false;
  emit didCompleteOverviewScan(image, QString());
}

void FakeScannerDevice::runScan() {
  if (!unit_ || !unit_->scanInProgress) return;
  const scan::ScanSettings& s = *lastScanSettings;
  const bool feeder = unit_->type == scan::DocumentFeeder;
  const int pages = feeder ? script.feederPages : 1;
  if (pages == 0) return finish(kFeederEmpty, true);
  QImage image(script.pagePixels, QImage::Format_RGB888);
  image.fill(Qt::white);
  for (int i = 0; i < pages; ++i) {
    if (script.removeAfterPages == i) {
      finish(kDeviceGone, true);
      if (browser_) browser_->removeDevice(this);
      return;
    }
    emit didScanPage(image, s.resolution);
  }
  if (script.removeAfterPages == pages) {
    finish(kDeviceGone, true);
    if (browser_) browser_->removeDevice(this);
    return;
  }
  finish(script.scanError, !script.scanError.isEmpty());
}

void FakeScannerDevice::finish(const QString& error, bool deviceError) {
  const bool wasOverview = unit_ && unit_->overviewScanInProgress;
  if (unit_) unit_->scanInProgress = unit_->overviewScanInProgress = false;
  held_ = false;
  if (deviceError) emit didEncounterError(error);
  if (wasOverview) emit didCompleteOverviewScan(QImage(), error);
  else emit didCompleteScan(error);
}

void FakeScannerBrowser::start() {
  if (started_) return;
  started_ = true;
  for (int i = 0; i < devices_.size(); ++i) {
    QPointer<FakeScannerDevice> d = devices_[i];
    const bool more = i + 1 < devices_.size();
    QTimer::singleShot(0, this, [this, d, more] {
      if (d) emit didAddDevice(d, more);
    });
  }
}

FakeScannerDevice* FakeScannerBrowser::addDevice(FakeScannerDevice* device, bool moreComing) {
  device->setParent(this);
  device->browser_ = this;
  devices_.append(device);
  if (started_) {
    QPointer<FakeScannerDevice> d = device;
    QTimer::singleShot(0, this, [this, d, moreComing] {
      if (d) emit didAddDevice(d, moreComing);
    });
  }
  return device;
}

void FakeScannerBrowser::removeDevice(FakeScannerDevice* device) {
  if (!devices_.removeOne(device)) return;
  device->gone_ = true;
  device->open_ = false;
  emit device->didRemoveDevice();
  emit didRemoveDevice(device, false);
  device->deleteLater();
}

ScannerEvents::ScannerEvents(scan::ScannerDevice* d, QObject* parent) : QObject(parent) {
  using D = scan::ScannerDevice;
  connect(d, &D::didOpenSession, this, [this](const QString& e) { lines << "open:" + e; });
  connect(d, &D::didCloseSession, this, [this](const QString& e) { lines << "close:" + e; });
  connect(d, &D::didBecomeReady, this, [this] { lines << QStringLiteral("ready"); });
  connect(d, &D::didSelectFunctionalUnit, this,
          [this](int type, const QString& e) { lines << QStringLiteral("unit:%1:%2").arg(type).arg(e); });
  connect(d, &D::didReceiveStatusInformation, this,
          [this](const QString& s, const QString& t) { lines << QStringLiteral("status:%1:%2").arg(s, t); });
  connect(d, &D::didEncounterError, this, [this](const QString& e) { lines << "error:" + e; });
  connect(d, &D::didRemoveDevice, this, [this] { lines << QStringLiteral("removed"); });
  connect(d, &D::didScanPage, this, [this](const QImage& image, int dpi) {
    pages << image;
    dpis << dpi;
    lines << QStringLiteral("page:%1x%2@%3").arg(image.width()).arg(image.height()).arg(dpi);
  });
  connect(d, &D::didCompleteOverviewScan, this, [this](const QImage& image, const QString& e) {
    overview = image;
    lines << QStringLiteral("overview:%1x%2:%3").arg(image.width()).arg(image.height()).arg(e);
  });
  connect(d, &D::didCompleteScan, this, [this](const QString& e) { lines << "complete:" + e; });
}

QString ScannerEvents::first(const QString& prefix) const {
  for (const QString& line : lines)
    if (line.startsWith(prefix)) return line;
  return {};
}

}  // namespace zuvo::test
