#include "FakeScanner.h"

#include <QTimer>

namespace zuvo::test {

FakeScanner::FakeScanner(const QString& name, unsigned type) : name_(name), type_(type) {
  unit.supportedResolutions = {75, 150, 300, 600};
  unit.physicalSize = QSizeF(8.5, 11.7);
}

void FakeScanner::requestOpenSession() {
  ++openRequests;
  // Answered later, on the main thread, as a real device does.
  QTimer::singleShot(0, this, [this, error = openError] {
    open_ = error.isEmpty();
    emit didOpenSession(error);
    if (open_) emit didBecomeReady();
  });
}

void FakeScanner::requestCloseSession() {
  ++closeRequests;
  QTimer::singleShot(0, this, [this] {
    open_ = false;
    emit didCloseSession(QString());
  });
}

std::optional<zuvo::scan::FunctionalUnit> FakeScanner::selectedFunctionalUnit() const {
  if (!open_ || unitTypes.isEmpty()) return std::nullopt;
  return unit;
}

void FakeScanner::requestSelectFunctionalUnit(int type) {
  selectRequests.append(type);
  unit.type = type;
  emit didSelectFunctionalUnit(type, QString());
}

void FakeScanner::requestOverviewScan(int resolution) {
  overviewRequests.append(resolution);
  unit.overviewScanInProgress = true;
}

void FakeScanner::requestScan(const zuvo::scan::ScanSettings& settings) {
  scanRequests.append(settings);
  unit.scanInProgress = true;
}

void FakeScanner::cancelScan() { ++cancelRequests; }

void FakeScanner::finishScan(const QStringList& pages, const QString& error) {
  for (const QString& page : pages) emit didScanToFile(page);
  unit.scanInProgress = false;
  emit didCompleteScan(error);
}

void FakeScanner::finishOverview(const QImage& image, const QString& error) {
  unit.overviewScanInProgress = false;
  emit didCompleteOverviewScan(image, error);
}

FakeScanner* FakeBrowser::add(const QString& name, unsigned type) {
  auto* device = new FakeScanner(name, type);
  device->setParent(this);
  emit didAddDevice(device, false);
  return device;
}

void FakeBrowser::remove(FakeScanner* device) {
  emit device->didRemoveDevice();
  emit didRemoveDevice(device, false);
  device->deleteLater();
}

}  // namespace zuvo::test
