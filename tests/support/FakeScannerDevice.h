// A scriptable scanner behind the device interface, for what SANE's test backend cannot
// show: duplex feeders, transparency units, resolution lists, failing sessions, warm-up and
// a device that disappears during a scan; with held scans, the scanner window's tests end each
// scan themselves. Signals come from the event loop, never from inside the request, as with a
// real device (finishScan and finishOverview answer at once).
#pragma once

#include "platform/scan/ScannerDevice.h"

#include <QImage>
#include <QList>
#include <QSize>
#include <QStringList>
#include <QSizeF>
#include <functional>
#include <optional>

namespace zuvo::test {

class FakeScannerBrowser;

struct FakeScannerScript {
  QString openError;                   // non-empty: the session fails with this text
  QList<int> unitTypes{scan::Flatbed};  // as availableFunctionalUnitTypes reports them
  std::optional<int> selectedUnit;      // selected when the session opens; the first type if unset
  // The selected unit is described from the script whenever it is asked for, so changes
  // to these apply at once.
  QList<int> resolutions{75, 150, 300, 600};
  QSizeF physicalSize{8.5, 11.69};      // inches
  bool duplex = false;                  // the feeder can scan both sides
  bool overviewScans = true;            // units other than the feeder can do an overview scan
  int feederPages = 3;                  // pages in the feeder; 0: empty
  QSize pagePixels{85, 117};            // size of every page scanned
  QString scanError;                    // a device error once the pages are handed up
  int removeAfterPages = -1;            // >= 0: the device disappears after that many pages
  bool warmUp = false;                  // "WarmingUp" then "WarmUpDone" before each scan
  bool holdScans = false;               // scans wait for cancelScan() or releaseScan()
};

class FakeScannerDevice : public scan::ScannerDevice {
  Q_OBJECT
 public:
  explicit FakeScannerDevice(const QString& name, const FakeScannerScript& script = {},
                             unsigned type = scan::kDeviceTypeScanner, QObject* parent = nullptr);

  FakeScannerScript script;
  // What was asked of the device.
  int openRequests = 0, closeRequests = 0, scanRequests = 0, overviewRequests = 0, cancelRequests = 0;
  QList<int> selectRequests;
  std::optional<scan::ScanSettings> lastScanSettings;
  int lastOverviewResolution = 0;

  QString name() const override { return name_; }
  QString vendor() const override { return QStringLiteral("Fake"); }
  QString model() const override { return QStringLiteral("Scanner"); }
  unsigned type() const override { return type_; }
  bool hasOpenSession() const override { return open_; }
  void requestOpenSession() override;
  void requestCloseSession() override;
  QList<int> availableFunctionalUnitTypes() const override;
  std::optional<scan::FunctionalUnit> selectedFunctionalUnit() const override;
  void requestSelectFunctionalUnit(int type) override;
  void requestOverviewScan(int resolution) override;
  void requestScan(const scan::ScanSettings& settings) override;
  void cancelScan() override;

  // A held scan goes on.
  void releaseScan();
  // The running scan or overview ends now, as the test says: these pages announced (at the
  // scan's resolution), then the completion with this error (no device error is reported).
  void finishScan(const QList<QImage>& pages, const QString& error = {});
  void finishOverview(const QImage& image, const QString& error = {});
  bool scanHeld() const { return held_; }

 private:
  friend class FakeScannerBrowser;
  void later(std::function<void()> f);
  void runScan();
  void runOverview();
  void finish(const QString& error, bool deviceError);
  scan::FunctionalUnit unitOfType(int type) const;

  QString name_;
  unsigned type_;
  bool open_ = false;
  std::optional<scan::FunctionalUnit> unit_;
  bool held_ = false;
  bool overview_ = false;
  bool gone_ = false;
  FakeScannerBrowser* browser_ = nullptr;
};

class FakeScannerBrowser : public scan::ScannerBrowser {
  Q_OBJECT
 public:
  using ScannerBrowser::ScannerBrowser;
  void start() override;
  bool started() const { return started_; }
  // The browser owns the device; it is announced at once when the browser runs.
  FakeScannerDevice* addDevice(FakeScannerDevice* device, bool moreComing = false);
  // didRemoveDevice on the device and the browser, then the device is deleted later.
  void removeDevice(FakeScannerDevice* device);
  QList<FakeScannerDevice*> devices() const { return devices_; }

 private:
  QList<FakeScannerDevice*> devices_;
  bool started_ = false;
};

// Records a device's signals, in order, as lines: "open:<error>", "ready", "close:<error>",
// "unit:<type>:<error>", "status:<status>:<text>", "error:<text>", "removed",
// "page:<width>x<height>@<dpi>", "overview:<width>x<height>:<error>", "complete:<error>".
class ScannerEvents : public QObject {
  Q_OBJECT
 public:
  explicit ScannerEvents(scan::ScannerDevice* device, QObject* parent = nullptr);
  QStringList lines;
  QList<QImage> pages;  // as announced
  QList<int> dpis;      // each page's
  QImage overview;
  bool has(const QString& line) const { return lines.contains(line); }
  // The first line that starts with prefix, or an empty text.
  QString first(const QString& prefix) const;
};

}  // namespace zuvo::test
