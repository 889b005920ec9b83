// Scanners as the scanner window sees them: a browser that finds devices and reports them
// coming and going, and devices with sessions, functional units and scan requests. Every
// signal arrives on the main thread (the thread that made the browser). The SANE
// implementation lives in ScannerDeviceSane; tests also use FakeScannerDevice.
#pragma once

#include <QImage>
#include <QList>
#include <QObject>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <algorithm>
#include <memory>
#include <optional>

namespace zuvo::scan {

// Device type bits: a scanner has 0x2; cameras never reach the browser's listeners.
inline constexpr unsigned kDeviceTypeScanner = 0x2;
// The value a unit is given as its resolution when no supported one fits.
inline constexpr int kNoResolution = -1;

// 0 flatbed, 1 positive transparency, 2 negative transparency, 3 document feeder.
enum FunctionalUnitType : int { Flatbed = 0, PositiveTransparency = 1, NegativeTransparency = 2, DocumentFeeder = 3 };

// The selected unit as the device describes it once it is ready.
struct FunctionalUnit {
  int type = Flatbed;
  bool canPerformOverviewScan = true;
  QList<int> supportedResolutions;  // dots per inch, ascending, no duplicates
  QSizeF physicalSize;              // inches
  bool supportsDuplexScanning = false;  // document feeder only
  bool scanInProgress = false;
  bool overviewScanInProgress = false;
};

// What a scan request sets on the unit and the device.
struct ScanSettings {
  int resolution = kNoResolution;
  int bitDepth = 8;
  int pixelDataType = 2;  // RGB
  int measurementUnit = 0;  // inches
  std::optional<QRectF> scanArea;  // inches; none leaves the unit's own
  int documentType = 0;             // 1 = A4 (document feeder)
  std::optional<bool> duplexScanningEnabled;  // set only when the feeder supports it
  int transferMode = 0;             // file based: the pages are handed up, the scanner writes them
};

class ScannerDevice : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  ~ScannerDevice() override = default;

  virtual QString name() const = 0;    // unique (SANE device name)
  virtual QString vendor() const = 0;
  virtual QString model() const = 0;
  virtual unsigned type() const = 0;   // kDeviceTypeScanner for scanners

  virtual bool hasOpenSession() const = 0;
  virtual void requestOpenSession() = 0;   // -> didOpenSession, then (success) didBecomeReady
  virtual void requestCloseSession() = 0;  // -> didCloseSession

  // Valid once the device became ready.
  virtual QList<int> availableFunctionalUnitTypes() const = 0;
  virtual std::optional<FunctionalUnit> selectedFunctionalUnit() const = 0;
  virtual void requestSelectFunctionalUnit(int type) = 0;  // -> didSelectFunctionalUnit

  // Overview: an image in memory at the given resolution. -> didCompleteOverviewScan
  virtual void requestOverviewScan(int resolution) = 0;
  // Scan: every page, in order, announced by didScanPage, then didCompleteScan (also after
  // an error or a cancel: the pages announced before it are whole).
  virtual void requestScan(const ScanSettings& settings) = 0;
  virtual void cancelScan() = 0;

 signals:
  void didOpenSession(const QString& error);  // empty: no error
  void didCloseSession(const QString& error);
  void didBecomeReady();
  void didBecomeAvailable();
  void didSelectFunctionalUnit(int type, const QString& error);
  // status: "WarmingUp" or "WarmUpDone"; localized: the text to show.
  void didReceiveStatusInformation(const QString& status, const QString& localized);
  void didEncounterError(const QString& error);
  void didRemoveDevice();
  // One scanned page: an RGB image and the resolution it was scanned at (dots per inch; 0
  // when the device did not say). Where and how it is stored is the listener's business.
  void didScanPage(const QImage& image, int dpi);
  void didCompleteOverviewScan(const QImage& image, const QString& error);
  void didCompleteScan(const QString& error);
};

class ScannerBrowser : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  ~ScannerBrowser() override = default;
  virtual void start() = 0;
 signals:
  // The browser owns its devices; a removed device is deleted later (deleteLater) after
  // didRemoveDevice, so listeners drop their pointers on that signal.
  void didAddDevice(zuvo::scan::ScannerDevice* device, bool moreComing);
  void didRemoveDevice(zuvo::scan::ScannerDevice* device, bool moreGoing);
};

// The first of the supported resolutions at or above atLeast (in ascending order, whatever the
// list's); the highest when none is; kNoResolution for an empty list.
inline int chooseResolution(QList<int> supported, qint64 atLeast) {
  if (supported.isEmpty()) return kNoResolution;
  std::sort(supported.begin(), supported.end());
  for (int r : supported)
    if (r >= atLeast) return r;
  return supported.last();
}

// The SANE browser; nullptr-free: without SANE devices it simply reports none.
std::unique_ptr<ScannerBrowser> makeSaneScannerBrowser(QObject* parent = nullptr);

}  // namespace zuvo::scan
