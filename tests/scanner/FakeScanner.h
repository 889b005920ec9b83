// A scanner device and browser behind the device interface, for the scanner window's tests:
// it records every request and answers as the test tells it.
#pragma once

#include "platform/ScannerDevice.h"

#include <QList>
#include <QString>

namespace zuvo::test {

class FakeScanner : public zuvo::scan::ScannerDevice {
  Q_OBJECT
 public:
  explicit FakeScanner(const QString& name, unsigned type = zuvo::scan::kDeviceTypeScanner);

  // What the device offers once ready.
  QList<int> unitTypes{zuvo::scan::Flatbed};
  zuvo::scan::FunctionalUnit unit;
  // Answer to the next session request: empty opens it; anything else is the error.
  QString openError;

  // Recorded requests.
  int openRequests = 0;
  int closeRequests = 0;
  int cancelRequests = 0;
  QList<int> selectRequests;
  QList<int> overviewRequests;
  QList<zuvo::scan::ScanSettings> scanRequests;

  // Completes the running scan (pages first) or overview scan.
  void finishScan(const QStringList& pages, const QString& error = {});
  void finishOverview(const QImage& image, const QString& error = {});

  QString name() const override { return name_; }
  QString vendor() const override { return QStringLiteral("Fake"); }
  QString model() const override { return QStringLiteral("Scanner"); }
  unsigned type() const override { return type_; }
  bool hasOpenSession() const override { return open_; }
  void requestOpenSession() override;
  void requestCloseSession() override;
  QList<int> availableFunctionalUnitTypes() const override { return unitTypes; }
  std::optional<zuvo::scan::FunctionalUnit> selectedFunctionalUnit() const override;
  void requestSelectFunctionalUnit(int type) override;
  void requestOverviewScan(int resolution) override;
  void requestScan(const zuvo::scan::ScanSettings& settings) override;
  void cancelScan() override;

 private:
  QString name_;
  unsigned type_;
  bool open_ = false;
};

class FakeBrowser : public zuvo::scan::ScannerBrowser {
  Q_OBJECT
 public:
  using ScannerBrowser::ScannerBrowser;
  void start() override { started = true; }
  // Announces a new device (owned by the browser).
  FakeScanner* add(const QString& name, unsigned type = zuvo::scan::kDeviceTypeScanner);
  // The device leaves as the layer reports it: its own signal, then the browser's.
  void remove(FakeScanner* device);
  bool started = false;
};

}  // namespace zuvo::test
