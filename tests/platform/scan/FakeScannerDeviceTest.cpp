// The fake device the scanner program's tests use, for what SANE's test backend cannot do:
// duplex feeders, transparency units, failing sessions, warm-up and removal during a scan.
#include "support/FakeScannerDevice.h"
#include "support/TestSupport.h"

#include <QPointer>
#include <gtest/gtest.h>

using namespace zuvo::scan;
using namespace zuvo::test;

namespace {

struct FakeFixture : ::testing::Test {
  FakeScannerDevice* add(const FakeScannerScript& script, const QString& name = QStringLiteral("fake:0")) {
    FakeScannerDevice* d = browser.addDevice(new FakeScannerDevice(name, script));
    events = std::make_unique<ScannerEvents>(d);
    return d;
  }
  bool open(FakeScannerDevice* d) {
    d->requestOpenSession();
    return waitUntil([&] { return !events->first("open:").isEmpty(); });
  }
  bool scan(FakeScannerDevice* d, const ScanSettings& s) {
    d->requestScan(s);
    return waitUntil([&] { return !events->first("complete:").isEmpty(); });
  }
  FakeScannerBrowser browser;
  std::unique_ptr<ScannerEvents> events;
};

TEST_F(FakeFixture, DuplexFeederAndTransparencyUnits) {
  FakeScannerScript script;
  script.unitTypes = {Flatbed, PositiveTransparency, NegativeTransparency, DocumentFeeder};
  script.duplex = true;
  script.feederPages = 4;
  FakeScannerDevice* d = add(script);
  ASSERT_TRUE(open(d));
  EXPECT_EQ(events->lines, QStringList({"open:", "ready"}));
  EXPECT_EQ(d->availableFunctionalUnitTypes(), script.unitTypes);
  EXPECT_FALSE(d->selectedFunctionalUnit()->supportsDuplexScanning) << "the flatbed has one side";

  d->requestSelectFunctionalUnit(DocumentFeeder);
  ASSERT_TRUE(waitUntil([&] { return events->has("unit:3:"); }));
  EXPECT_TRUE(d->selectedFunctionalUnit()->supportsDuplexScanning);
  ScanSettings s;
  s.resolution = 300;
  s.duplexScanningEnabled = true;
  ASSERT_TRUE(scan(d, s));
  EXPECT_EQ(events->pages.size(), 4);
  EXPECT_EQ(events->lines.last(), "complete:");
  EXPECT_EQ(events->lines.mid(3, 4), QStringList(4, "page:85x117@300"));
  ASSERT_TRUE(d->lastScanSettings);
  EXPECT_EQ(d->lastScanSettings->duplexScanningEnabled, std::optional<bool>(true));
}

TEST_F(FakeFixture, OpenFailureReportsItsText) {
  FakeScannerScript script;
  script.openError = QStringLiteral("Access to resource has been denied");
  FakeScannerDevice* d = add(script);
  ASSERT_TRUE(open(d));
  EXPECT_EQ(events->lines, QStringList({"open:Access to resource has been denied"}));
  EXPECT_FALSE(d->hasOpenSession());
  EXPECT_TRUE(d->availableFunctionalUnitTypes().isEmpty());
}

TEST_F(FakeFixture, RemovalDuringAScanEndsTheJobWithAnError) {
  FakeScannerScript script;
  script.unitTypes = {DocumentFeeder};
  script.feederPages = 5;
  script.removeAfterPages = 2;
  QList<ScannerDevice*> removed;
  QObject::connect(&browser, &ScannerBrowser::didRemoveDevice,
                   [&](ScannerDevice* d, bool) { removed.append(d); });
  browser.start();
  QPointer<FakeScannerDevice> d = add(script);
  ASSERT_TRUE(open(d));
  ASSERT_TRUE(scan(d, ScanSettings{}));
  EXPECT_EQ(events->lines, QStringList({"open:", "ready", "page:85x117@-1", "page:85x117@-1",
                                        "error:Error during device I/O", "complete:Error during device I/O",
                                        "removed"}));
  ASSERT_EQ(removed.size(), 1);
  EXPECT_TRUE(waitUntil([&] { return d.isNull(); })) << "the browser deletes a removed device";
  EXPECT_TRUE(browser.devices().isEmpty());
}

TEST_F(FakeFixture, WarmUpEmptyFeederAndHeldScans) {
  FakeScannerScript script;
  script.unitTypes = {DocumentFeeder, Flatbed};
  script.feederPages = 0;
  script.warmUp = true;
  FakeScannerDevice* d = add(script);
  ASSERT_TRUE(open(d));
  ASSERT_TRUE(scan(d, ScanSettings{}));
  EXPECT_EQ(events->lines.mid(2),
            QStringList({"status:WarmingUp:Warming up", "status:WarmUpDone:",
                         "error:Document feeder out of documents", "complete:Document feeder out of documents"}));

  // A held scan is in progress until it is cancelled.
  d->script.holdScans = true;
  d->script.warmUp = false;
  events->lines.clear();
  d->requestScan(ScanSettings{});
  EXPECT_TRUE(d->selectedFunctionalUnit()->scanInProgress);
  spin(std::chrono::milliseconds(50));
  EXPECT_TRUE(events->lines.isEmpty());
  d->cancelScan();
  ASSERT_TRUE(waitUntil([&] { return !events->first("complete:").isEmpty(); }));
  EXPECT_EQ(events->lines, QStringList({"complete:Operation was canceled"}));
  EXPECT_FALSE(d->selectedFunctionalUnit()->scanInProgress);
}

}  // namespace
