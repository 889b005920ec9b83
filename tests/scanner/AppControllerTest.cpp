// The scanner window's controller with fake devices: the list, sessions, the unit menu,
// the settings a scan request carries, cancel, errors as sheets, and the progress indicator.
#include "platform/core/TestHooks.h"

#include "platform/desktop/UserDefaults.h"
#include "scanner/GlobalData.h"
#include "scanner/ScanDocWindowController.h"
#include "scanner/ScanPages.h"
#include "scanner/ViewControllers/AppController.h"
#include "support/FakeScannerDevice.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QWidget>
#include <gtest/gtest.h>

#include <memory>

using namespace zuvo::test;
using zuvo::scan::DocumentFeeder;
using zuvo::scan::Flatbed;

namespace {

class AppControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog = makeTempDir(QStringLiteral("alerts")) + QStringLiteral("/alerts.jsonl");
    zuvo::testhooks::setAlertLogFile(alertLog);
  }
  void TearDown() override {
    window.reset();
    zuvo::testhooks::setAlertLogFile({});
  }

  // The scan settings as the settings window stores them; before open().
  static void storeSettings(std::optional<bool> duplex, std::optional<int> dpi) {
    QSettings s(zuvo::UserDefaults::filePath(kScannerBundleIdentifier), QSettings::IniFormat);
    s.clear();
    if (duplex) s.setValue("isduplex", *duplex);
    if (dpi) s.setValue("dpivalue", *dpi);
    s.sync();
  }

  void open() {
    window = std::make_unique<ScanDocWindowController>([this] {
      auto b = std::make_unique<FakeScannerBrowser>();
      browser = b.get();
      announced = 0;
      QObject::connect(browser, &FakeScannerBrowser::didAddDevice, [this] { ++announced; });
      return b;
    });
    window->showWindow();
    c = window->appController();
  }

  template <class T>
  T* widget(const char* name) const {
    T* w = window->window()->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QListWidget* list() const { return widget<QListWidget>("mScannersTableView"); }
  QComboBox* menu() const { return widget<QComboBox>("mFunctionalUnitMenu"); }
  QPushButton* scanButton() const { return widget<QPushButton>("butScan"); }
  QProgressBar* progress() const { return widget<QProgressBar>("mProgressIndicator"); }
  bool progressShown() const { return !progress()->isHidden(); }

  void select(int row) { list()->item(row)->setSelected(true); }

  // A scanner added and announced to the window. Its scans run until the test ends them.
  FakeScannerDevice* add(const QString& name, unsigned type = zuvo::scan::kDeviceTypeScanner) {
    FakeScannerScript script;
    script.holdScans = true;
    script.physicalSize = QSizeF(8.5, 11.7);
    const int before = announced;
    FakeScannerDevice* d = browser->addDevice(new FakeScannerDevice(name, script, type));
    EXPECT_TRUE(waitUntil([&] { return announced > before; }));
    return d;
  }

  // A scanner added, selected and ready, its unit menu built.
  FakeScannerDevice* readyScanner(const QString& name, QList<int> units = {Flatbed}) {
    FakeScannerDevice* d = add(name);
    d->script.unitTypes = units;
    select(int(c->scanners().indexOf(d)));
    EXPECT_TRUE(waitUntil([&] { return d->hasOpenSession() && (units.isEmpty() || menu()->isEnabled()); }));
    return d;
  }

  QStringList menuTitles() const {
    QStringList titles;
    for (int i = 0; i < menu()->count(); ++i) titles << menu()->itemText(i);
    return titles;
  }

  QString alertLog;
  std::unique_ptr<ScanDocWindowController> window;
  FakeScannerBrowser* browser = nullptr;
  int announced = 0;
  AppController* c = nullptr;
};

}  // namespace

TEST_F(AppControllerTest, ListsScannersOnlyWithVendorModelAndName) {
  open();
  EXPECT_TRUE(browser->started());
  add("camera:0", 0x1);
  add("test:0");
  add("test:1", zuvo::scan::kDeviceTypeScanner | 0x100);
  ASSERT_EQ(list()->count(), 2);
  EXPECT_EQ(list()->item(0)->text(), "Fake Scanner (test:0)");
  EXPECT_EQ(list()->item(1)->text(), "Fake Scanner (test:1)");
  // A new device is not selected, so no session opens by itself.
  EXPECT_TRUE(list()->selectedItems().isEmpty());
  spin(std::chrono::milliseconds(50));
  for (auto* d : c->scanners()) EXPECT_EQ(static_cast<FakeScannerDevice*>(d)->openRequests, 0);
  EXPECT_EQ(window->window()->windowTitle(), "Scan Document");
  EXPECT_EQ(list()->accessibleName(), "Scanners");
  EXPECT_EQ(menu()->accessibleName(), "Functional unit");
}

TEST_F(AppControllerTest, OnlyTheSelectedScannerHoldsASessionAndClosingTheWindowClosesAll) {
  open();
  FakeScannerDevice* a = readyScanner("test:0", {Flatbed});
  EXPECT_EQ(a->openRequests, 1);
  EXPECT_TRUE(scanButton()->isEnabled());
  EXPECT_EQ(widget<QPushButton>("butOpen")->text(), "Close");

  FakeScannerDevice* b = add("test:1");
  b->script.unitTypes = {Flatbed, DocumentFeeder};
  // Becoming available opens nothing on a scanner the user did not select.
  emit b->didBecomeAvailable();
  spin(std::chrono::milliseconds(50));
  EXPECT_EQ(b->openRequests, 0);

  select(1);
  ASSERT_TRUE(waitUntil([&] { return b->hasOpenSession() && menu()->count() == 2; }));
  EXPECT_EQ(a->closeRequests, 1);
  EXPECT_FALSE(a->hasOpenSession());
  // A late "ready" of the other scanner does not replace the menu.
  emit a->didBecomeReady();
  EXPECT_EQ(menuTitles(), (QStringList{"Flatbed", "Document Feeder"}));

  // A session that finishes opening after the user moved on is closed again.
  a->openRequests = 0;
  a->requestOpenSession();
  ASSERT_TRUE(waitUntil([&] { return a->closeRequests == 2; }));

  // (Cancel request closes only once the server took its "Cancel": ScanCompletionTest.)
  window->window()->close();
  ASSERT_TRUE(waitUntil([&] { return !b->hasOpenSession(); }));
  EXPECT_EQ(b->closeRequests, 1);
  EXPECT_FALSE(window->window()->isVisible());
}

TEST_F(AppControllerTest, OpenFailureAndDeviceErrorsShowSheets) {
  open();
  FakeScannerDevice* d = add("test:0");
  d->script.openError = "The device is busy.";
  select(0);
  ASSERT_TRUE(waitUntil([&] { return !readJsonLines(alertLog).isEmpty(); }));
  QList<QJsonObject> alerts = readJsonLines(alertLog);
  EXPECT_EQ(alerts[0]["message"].toString(), "");
  EXPECT_EQ(alerts[0]["informative"].toString(), "The device is busy.");
  EXPECT_EQ(alerts[0]["buttons"].toArray(), QJsonArray{"Ok"});
  EXPECT_FALSE(scanButton()->isEnabled());
  EXPECT_FALSE(menu()->isEnabled());
  // Without a session, Scan and Overview ask nothing of the device.
  c->startScan();
  c->startOverviewScan();
  EXPECT_EQ(d->scanRequests, 0);
  EXPECT_EQ(d->overviewRequests, 0);
  EXPECT_EQ(d->cancelRequests, 0);

  c->readyToScan = true;
  emit d->didEncounterError("Document feeder jammed");
  EXPECT_FALSE(c->readyToScan);
  ASSERT_TRUE(waitUntil([&] { return readJsonLines(alertLog).size() == 2; }));
  EXPECT_EQ(readJsonLines(alertLog)[1]["informative"].toString(), "Document feeder jammed");
}

TEST_F(AppControllerTest, UnitMenuShowsTheSelectedScannersUnits) {
  const struct {
    QList<int> units;
    int selectedType;
    bool enabled;
    QStringList titles;
    QString current;
  } cases[] = {
      {{}, 0, false, {}, ""},
      {{5, 7}, 5, true, {}, ""},
      {{0, 1, 2, 3}, 3, true, {"Flatbed", "Postive Transparency", "Negative Transparency", "Document Feeder"},
       "Document Feeder"},
      {{3, 9, 0}, 0, true, {"Document Feeder", "Flatbed"}, "Flatbed"},
  };
  for (const auto& cs : cases) {
    open();
    FakeScannerDevice* d = add("test:0");
    d->script.unitTypes = cs.units;
    d->script.selectedUnit = cs.selectedType;
    select(0);
    ASSERT_TRUE(waitUntil([&] { return d->hasOpenSession(); }));
    spin(std::chrono::milliseconds(20));
    EXPECT_EQ(menu()->isEnabled(), cs.enabled) << cs.units.size();
    EXPECT_EQ(menuTitles(), cs.titles);
    EXPECT_EQ(menu()->currentText(), cs.current);
  }

  // Choosing the unit that is already selected requests nothing; another one is requested.
  open();
  FakeScannerDevice* d = readyScanner("test:0", {Flatbed, DocumentFeeder});
  emit menu()->activated(0);
  EXPECT_TRUE(d->selectRequests.isEmpty());
  emit menu()->activated(1);
  EXPECT_EQ(d->selectRequests, QList<int>{DocumentFeeder});
}

TEST_F(AppControllerTest, ScanRequestCarriesTheStoredSettings) {
  const struct {
    int unitType;
    bool supportsDuplex;
    std::optional<bool> isduplex;
    std::optional<int> dpivalue;
    int resolution;
    std::optional<bool> duplex;
  } cases[] = {
      {Flatbed, false, std::nullopt, std::nullopt, 75, std::nullopt},
      {Flatbed, false, true, 300, 300, std::nullopt},
      {Flatbed, false, false, 200, 300, std::nullopt},
      {Flatbed, false, false, 5000, 600, std::nullopt},
      {DocumentFeeder, true, true, 150, 150, true},
      {DocumentFeeder, true, false, 150, 150, false},
      {DocumentFeeder, true, std::nullopt, 150, 150, false},
      {DocumentFeeder, false, true, 72, 75, std::nullopt},
      {zuvo::scan::PositiveTransparency, false, true, 600, 600, std::nullopt},
  };
  for (const auto& cs : cases) {
    storeSettings(cs.isduplex, cs.dpivalue);
    open();
    FakeScannerDevice* d = readyScanner("test:0", {cs.unitType});
    d->script.duplex = cs.supportsDuplex;
    scanButton()->click();
    ASSERT_EQ(d->scanRequests, 1);
    const zuvo::scan::ScanSettings& s = *d->lastScanSettings;
    const std::string where = std::to_string(cs.unitType) + "/" + std::to_string(cs.dpivalue.value_or(-1));
    EXPECT_EQ(s.resolution, cs.resolution) << where;
    EXPECT_EQ(s.duplexScanningEnabled, cs.duplex) << where;
    EXPECT_EQ(s.bitDepth, 8);
    EXPECT_EQ(s.pixelDataType, 2);
    EXPECT_EQ(s.transferMode, 0);
    // The pages become "Scan" files in the scan folder.
    EXPECT_EQ(c->pageWriter().documentName(), "Scan");
    EXPECT_EQ(c->pageWriter().folder(), GlobalData::sharedGlobalData().getScanDocumentPath());
    if (cs.unitType == DocumentFeeder) {
      EXPECT_EQ(s.documentType, 1) << where;
      EXPECT_FALSE(s.scanArea.has_value()) << where;
    } else {
      EXPECT_EQ(s.documentType, 0) << where;
      EXPECT_EQ(s.measurementUnit, 0);
      EXPECT_EQ(s.scanArea, QRectF(0, 0, 8.5, 11.7)) << where;
    }
    EXPECT_TRUE(progressShown());
    EXPECT_EQ(scanButton()->text(), "Cancel");
  }
}

TEST_F(AppControllerTest, NoResolutionOfferedSetsNoneAndNoUnitRequestsNothing) {
  open();
  FakeScannerDevice* d = readyScanner("test:0");
  d->script.resolutions.clear();
  c->startScan();
  c->startOverviewScan();  // cancels the running scan
  ASSERT_EQ(d->scanRequests, 1);
  EXPECT_EQ(d->lastScanSettings->resolution, zuvo::scan::kNoResolution);
  EXPECT_EQ(d->cancelRequests, 1);

  // A scanner that offers no unit gets no request at all.
  FakeScannerDevice* bare = add("test:1");
  bare->script.unitTypes.clear();
  select(1);
  ASSERT_TRUE(waitUntil([&] { return bare->hasOpenSession(); }));
  c->startScan();
  c->startOverviewScan();
  EXPECT_EQ(bare->scanRequests, 0);
  EXPECT_EQ(bare->overviewRequests, 0);
  EXPECT_EQ(bare->cancelRequests, 0);
}

TEST_F(AppControllerTest, ScanOrOverviewWhileOneRunsCancelsAndChangesNothing) {
  open();
  FakeScannerDevice* d = readyScanner("test:0");
  d->script.resolutions = {50, 75, 150};
  widget<QPushButton>("butOverview")->click();
  EXPECT_EQ(d->overviewRequests, 1);
  EXPECT_EQ(d->lastOverviewResolution, 75);
  EXPECT_EQ(widget<QPushButton>("butOverview")->text(), "Cancel");
  scanButton()->click();
  widget<QPushButton>("butOverview")->click();
  EXPECT_EQ(d->cancelRequests, 2);
  EXPECT_EQ(d->scanRequests, 0);
  EXPECT_EQ(d->overviewRequests, 1);

  QImage image(40, 30, QImage::Format_RGB32);
  image.fill(Qt::blue);
  d->finishOverview(image, "cancelled");
  EXPECT_FALSE(progressShown());
  EXPECT_FALSE(widget<QLabel>("mOverviewImage")->pixmap().isNull());
  EXPECT_EQ(widget<QPushButton>("butOverview")->text(), "Overview");

  // An overview is refused by a unit that cannot do one: the button cancels instead.
  d->script.overviewScans = false;
  c->startOverviewScan();
  EXPECT_EQ(d->overviewRequests, 1);
  EXPECT_EQ(d->cancelRequests, 3);
}

TEST_F(AppControllerTest, ReadyToScanCountsOnlyThisScansPagesAndEveryCompletionHidesProgress) {
  open();
  FakeScannerDevice* d = readyScanner("test:0");
  c->startScan();
  QImage page(20, 30, QImage::Format_RGB888);
  page.fill(Qt::white);
  d->finishScan({page});
  EXPECT_TRUE(c->readyToScan);
  // Until its page is written the scan is not over: Scan and Overview start nothing.
  c->startScan();
  EXPECT_EQ(d->scanRequests, 1);
  c->startOverviewScan();
  EXPECT_EQ(d->overviewRequests, 0);
  EXPECT_TRUE(progressShown());
  // The scan ends once its page is in its file.
  ASSERT_TRUE(waitUntil([&] { return !progressShown(); }));
  EXPECT_TRUE(QFileInfo::exists(GlobalData::sharedGlobalData().getScanDocumentPath() + "Scan 0.jpeg"));
  // The completed scan closed the session; the user opens it again.
  c->openSession();
  ASSERT_TRUE(waitUntil([&] { return d->hasOpenSession(); }));

  c->startScan();
  EXPECT_FALSE(c->readyToScan);
  EXPECT_TRUE(progressShown());
  d->finishScan({}, "Document feeder out of documents");
  EXPECT_FALSE(c->readyToScan);
  EXPECT_FALSE(progressShown());
  EXPECT_EQ(scanButton()->text(), "Scan");
}

TEST_F(AppControllerTest, WarmUpStatusShowsTextAndProgress) {
  open();
  FakeScannerDevice* d = readyScanner("test:0");
  emit d->didReceiveStatusInformation("WarmingUp", "Warming up the lamp");
  EXPECT_EQ(widget<QLabel>("mStatusText")->text(), "Warming up the lamp");
  EXPECT_TRUE(progressShown());
  emit d->didReceiveStatusInformation("Other", "ignored");
  EXPECT_EQ(widget<QLabel>("mStatusText")->text(), "Warming up the lamp");
  emit d->didReceiveStatusInformation("WarmUpDone", "");
  EXPECT_EQ(widget<QLabel>("mStatusText")->text(), "");
  EXPECT_FALSE(progressShown());
}

TEST_F(AppControllerTest, ScannerRemovedDuringScanLeavesNothingDangling) {
  open();
  FakeScannerDevice* a = readyScanner("test:0");
  add("test:1");
  c->startScan();
  ASSERT_TRUE(progressShown());
  browser->removeDevice(a);
  spin(std::chrono::milliseconds(50));  // the device is deleted by now
  ASSERT_EQ(list()->count(), 1);
  EXPECT_EQ(list()->item(0)->text(), "Fake Scanner (test:1)");
  EXPECT_FALSE(progressShown());
  EXPECT_FALSE(menu()->isEnabled());
  EXPECT_EQ(c->selectedScanner(), nullptr);
  c->startScan();
  c->startOverviewScan();
  c->closeSession();
}

TEST_F(AppControllerTest, APageThatCannotBeWrittenEndsTheScanAsADeviceError) {
  open();
  FakeScannerDevice* d = readyScanner("test:0");
  c->startScan();
  ASSERT_TRUE(d->scanHeld());
  // The scan folder is gone: no page can be written.
  ASSERT_TRUE(QDir(GlobalData::sharedGlobalData().getScanDocumentPath()).removeRecursively());
  QImage page(20, 30, QImage::Format_RGB888);
  page.fill(Qt::white);
  emit d->didScanPage(page, 300);
  emit d->didScanPage(page, 300);
  ASSERT_TRUE(waitUntil([&] { return !readJsonLines(alertLog).isEmpty(); }));
  EXPECT_FALSE(c->readyToScan);
  // The running scan is cancelled; its end is that of a failed scan: nothing opens or is sent.
  ASSERT_TRUE(waitUntil([&] { return !progressShown(); }));
  EXPECT_EQ(d->cancelRequests, 1);
  EXPECT_EQ(scanButton()->text(), "Scan");
  spin(std::chrono::milliseconds(100));
  const QList<QJsonObject> alerts = readJsonLines(alertLog);
  ASSERT_EQ(alerts.size(), 1) << "one sheet for the scan";
  EXPECT_EQ(alerts[0]["message"].toString(), "");
  EXPECT_EQ(alerts[0]["informative"].toString(), "No such file or directory");
  EXPECT_EQ(alerts[0]["buttons"].toArray(), QJsonArray{"Ok"});
  EXPECT_TRUE(c->browserWindowControllers.empty());
  EXPECT_TRUE(window->window()->isVisible());
}
