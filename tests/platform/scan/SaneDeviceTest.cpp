// The SANE devices against SANE's own test backend, configured through a private
// SANE_CONFIG_DIR: discovery, sessions, units, flatbed and feeder scans (pages handed up in
// memory, no file written), device errors, cancel, and every handle closed at the end.
#include "platform/scan/ScannerDeviceSane.h"
#include "platform/process/TerminationSignals.h"
#include "support/FakeScannerDevice.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <sane/sane.h>

#include <chrono>
#include <csignal>
#include <dlfcn.h>
#include <unistd.h>

using namespace zuvo::scan;
using namespace zuvo::test;
using namespace std::chrono_literals;

// The test backend's reader thread, cancelled in mid-page, never frees its picture buffer.
// That leak is the backend's: keep the module mapped so that the leak checker can name it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libsane-test.so\n"; }

namespace {

void keepTestBackendLoaded() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&sane_init), &info) || !info.dli_fname) return;
  const QString backend = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath() + "/sane/libsane-test.so.1";
  dlopen(QFile::encodeName(backend).constData(), RTLD_NOW | RTLD_NODELETE);
}

constexpr auto kDeadline = 60s;  // generous: a loaded machine, sanitizers
const QByteArray kSlow = "read-delay true\nread-delay-duration 200000\n";

class SaneDeviceTest : public ::testing::Test {
 protected:
  // The test backend alone, with these settings in its test.conf. SANE reads
  // SANE_CONFIG_DIR once per process, and the backend may keep what an earlier test.conf
  // set: one folder, and every setting a test changes written each time.
  void useTestBackend(int devices, const QByteArray& extra = {}) {
    keepTestBackendLoaded();
    const QString dir = testRoot() + "/sane-config";
    ASSERT_TRUE(QDir().mkpath(dir));
    ASSERT_TRUE(writeFile(dir + "/dll.conf", "test\n"));
    QByteArray conf = "number_of_devices " + QByteArray::number(devices) + "\ntest-picture \"Color pattern\"\n";
    if (!extra.contains("read-delay ")) conf += "read-delay false\n";
    if (!extra.contains("read-status-code ")) conf += "read-status-code \"Default\"\n";
    conf += extra;
    ASSERT_TRUE(writeFile(dir + "/test.conf", conf));
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(dir));
  }

  void startBrowser() {
    browser = makeSaneScannerBrowser();
    QObject::connect(browser.get(), &ScannerBrowser::didAddDevice, [this](ScannerDevice* d, bool more) {
      devices.append(d);
      moreComing.append(more);
    });
    browser->start();
  }

  // The first device with an open session, its events recorded.
  ScannerDevice* openFirstDevice() {
    startBrowser();
    if (!waitUntil([&] { return !devices.isEmpty(); }, kDeadline)) return nullptr;
    ScannerDevice* d = devices.first();
    events = std::make_unique<ScannerEvents>(d);
    d->requestOpenSession();
    if (!waitUntil([&] { return events->has("ready") || !events->first("open:").isEmpty(); }, kDeadline)) return nullptr;
    return d->hasOpenSession() ? d : nullptr;
  }

  bool selectUnit(ScannerDevice* d, int type) {
    d->requestSelectFunctionalUnit(type);
    const QString line = QStringLiteral("unit:%1:").arg(type);
    return waitUntil([&] { return events->has(line); }, kDeadline) && d->selectedFunctionalUnit() &&
           d->selectedFunctionalUnit()->type == type;
  }

  ScanSettings settingsFor(const FunctionalUnit& unit, int resolution) {
    ScanSettings s;
    s.resolution = resolution;
    if (unit.type == DocumentFeeder) s.documentType = 1;
    else s.scanArea = QRectF(QPointF(0, 0), unit.physicalSize);
    return s;
  }

  bool scanAndWait(ScannerDevice* d, const ScanSettings& s) {
    d->requestScan(s);
    return waitUntil([&] { return !events->first("complete:").isEmpty(); }, kDeadline);
  }

  // The device names no folder and writes no page file, not even where it runs.
  void SetUp() override { ASSERT_TRUE(QDir::setCurrent(runDir)); }
  QStringList scanFolderFiles() const {
    return QDir(runDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  }

  const QString runDir = makeTempDir("run");

  std::unique_ptr<ScannerBrowser> browser;
  QList<ScannerDevice*> devices;
  QList<bool> moreComing;
  std::unique_ptr<ScannerEvents> events;
};

// The test backend's whole area is 200 mm square.
int pixelsAt(int dpi) { return int(dpi * 200.0 / 25.4); }

// A page as the device hands it up: the whole area in colour, with the resolution it was
// scanned at.
void expectPage(const ScannerEvents& events, qsizetype index, int dpi) {
  ASSERT_LT(index, events.pages.size());
  const QImage& image = events.pages[index];
  EXPECT_EQ(image.format(), QImage::Format_RGB888) << "three colour components";
  EXPECT_FALSE(image.allGray()) << "the colour pattern";
  EXPECT_EQ(image.size(), QSize(pixelsAt(dpi), pixelsAt(dpi)));
  EXPECT_EQ(events.dpis[index], dpi);
}

QString pageLine(int dpi) { return QStringLiteral("page:%1x%1@%2").arg(pixelsAt(dpi)).arg(dpi); }

TEST_F(SaneDeviceTest, DiscoversEveryTestDevice) {
  useTestBackend(3);
  startBrowser();
  ASSERT_TRUE(waitUntil([&] { return devices.size() == 3; }, kDeadline));
  QStringList names;
  for (ScannerDevice* d : devices) {
    names << d->name();
    EXPECT_EQ(d->vendor(), "Noname");
    EXPECT_EQ(d->model(), "frontend-tester");
    EXPECT_EQ(d->type() & kDeviceTypeScanner, kDeviceTypeScanner);
    EXPECT_FALSE(d->hasOpenSession());
  }
  EXPECT_EQ(names, QStringList({"test:0", "test:1", "test:2"}));
  EXPECT_EQ(moreComing, QList<bool>({true, true, false}));

  // The search runs again every few seconds: the same devices are neither added nor removed.
  int removed = 0;
  QObject::connect(browser.get(), &ScannerBrowser::didRemoveDevice, [&](ScannerDevice*, bool) { ++removed; });
  spin(7s);
  EXPECT_EQ(devices.size(), 3);
  EXPECT_EQ(removed, 0);
}

TEST_F(SaneDeviceTest, SessionUnitsAndOverview) {
  useTestBackend(1);
  ScannerDevice* d = openFirstDevice();
  ASSERT_TRUE(d);
  EXPECT_EQ(events->lines, QStringList({"open:", "ready"}));
  EXPECT_EQ(d->availableFunctionalUnitTypes(), QList<int>({Flatbed, DocumentFeeder}));
  ASSERT_TRUE(d->selectedFunctionalUnit());
  const FunctionalUnit flatbed = *d->selectedFunctionalUnit();
  EXPECT_EQ(flatbed.type, Flatbed);
  EXPECT_TRUE(flatbed.canPerformOverviewScan);
  EXPECT_EQ(flatbed.supportedResolutions, QList<int>({50, 75, 100, 150, 200, 300, 400, 600, 1200}));
  EXPECT_NEAR(flatbed.physicalSize.width(), 200 / 25.4, 1e-3);
  EXPECT_NEAR(flatbed.physicalSize.height(), 200 / 25.4, 1e-3);
  EXPECT_FALSE(flatbed.supportsDuplexScanning);
  EXPECT_EQ(openSaneHandleCount(), 1);

  d->requestOverviewScan(50);
  ASSERT_TRUE(waitUntil([&] { return !events->first("overview:").isEmpty(); }, kDeadline));
  EXPECT_EQ(events->first("overview:"), QStringLiteral("overview:%1x%1:").arg(pixelsAt(50)));
  EXPECT_FALSE(events->overview.isNull());
  EXPECT_TRUE(scanFolderFiles().isEmpty()) << "an overview stays in memory";

  ASSERT_TRUE(selectUnit(d, DocumentFeeder));
  const FunctionalUnit feeder = *d->selectedFunctionalUnit();
  EXPECT_FALSE(feeder.canPerformOverviewScan);
  EXPECT_FALSE(feeder.supportsDuplexScanning);
  EXPECT_EQ(events->first("unit:"), "unit:3:");

  d->requestCloseSession();
  ASSERT_TRUE(waitUntil([&] { return events->has("close:"); }, kDeadline));
  EXPECT_FALSE(d->hasOpenSession());
  EXPECT_EQ(openSaneHandleCount(), 0);
}

TEST_F(SaneDeviceTest, FlatbedScansOnePage) {
  useTestBackend(1);
  ScannerDevice* d = openFirstDevice();
  ASSERT_TRUE(d);
  ASSERT_TRUE(scanAndWait(d, settingsFor(*d->selectedFunctionalUnit(), 100)));
  EXPECT_EQ(events->lines.mid(2), QStringList({pageLine(100), "complete:"}));
  expectPage(*events, 0, 100);
  EXPECT_TRUE(scanFolderFiles().isEmpty());
  EXPECT_FALSE(d->selectedFunctionalUnit()->scanInProgress);
}

TEST_F(SaneDeviceTest, FeederScansTenPagesThenEndsAndCanRunAgain) {
  useTestBackend(1);
  ScannerDevice* d = openFirstDevice();
  ASSERT_TRUE(d);
  ASSERT_TRUE(selectUnit(d, DocumentFeeder));
  ASSERT_TRUE(scanAndWait(d, settingsFor(*d->selectedFunctionalUnit(), 50)));
  QStringList expected(10, pageLine(50));
  expected << "complete:";
  EXPECT_EQ(events->lines.mid(3), expected);  // open, ready, unit
  EXPECT_TRUE(scanFolderFiles().isEmpty());
  expectPage(*events, 0, 50);  // A4, clipped to the device's 200 mm
  expectPage(*events, 9, 50);

  // The feeder is filled again for the next job.
  events->lines.clear();
  ASSERT_TRUE(scanAndWait(d, settingsFor(*d->selectedFunctionalUnit(), 50)));
  EXPECT_EQ(events->lines.size(), 11);
  EXPECT_EQ(events->lines.first(), pageLine(50));
  EXPECT_EQ(events->lines.last(), "complete:");
  expectPage(*events, 19, 50);
}

TEST_F(SaneDeviceTest, DeviceErrorsEndTheScanWithTheirText) {
  const struct {
    const char* status;
    int unit;
    const char* text;
  } cases[] = {
      {"SANE_STATUS_JAMMED", DocumentFeeder, "Document feeder jammed"},
      {"SANE_STATUS_NO_DOCS", DocumentFeeder, "Document feeder out of documents"},
      {"SANE_STATUS_COVER_OPEN", Flatbed, "Scanner cover is open"},
      {"SANE_STATUS_IO_ERROR", Flatbed, "Error during device I/O"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    useTestBackend(1, QByteArray("read-status-code \"") + c.status + "\"\n");
    devices.clear();
    ScannerDevice* d = openFirstDevice();
    ASSERT_TRUE(d);
    if (c.unit != Flatbed) {
      ASSERT_TRUE(selectUnit(d, c.unit));
    }
    events->lines.clear();
    ASSERT_TRUE(scanAndWait(d, settingsFor(*d->selectedFunctionalUnit(), 50)));
    EXPECT_EQ(events->lines, QStringList({QStringLiteral("error:") + c.text, QStringLiteral("complete:") + c.text}));
    EXPECT_TRUE(scanFolderFiles().isEmpty());
    events.reset();
    browser.reset();
    EXPECT_EQ(openSaneHandleCount(), 0);
  }
}

TEST_F(SaneDeviceTest, CancelEndsASlowScan) {
  // About a minute for the page at 300 dpi: a scan that ends soon was cancelled.
  useTestBackend(1, kSlow);
  ScannerDevice* d = openFirstDevice();
  ASSERT_TRUE(d);
  d->requestScan(settingsFor(*d->selectedFunctionalUnit(), 300));
  EXPECT_TRUE(d->selectedFunctionalUnit()->scanInProgress);
  spin(500ms);  // let the device start sending
  d->cancelScan();
  ASSERT_TRUE(waitUntil([&] { return !events->first("complete:").isEmpty(); }, 30s));
  EXPECT_EQ(events->lines.mid(2), QStringList({"complete:Operation was canceled"})) << events->lines.join("|").toStdString();
  EXPECT_TRUE(scanFolderFiles().isEmpty());
  EXPECT_FALSE(d->selectedFunctionalUnit()->scanInProgress);

  // The session goes on: an overview after the cancel works.
  d->requestOverviewScan(50);
  ASSERT_TRUE(waitUntil([&] { return !events->first("overview:").isEmpty(); }, kDeadline));
  EXPECT_EQ(events->first("overview:"), QStringLiteral("overview:%1x%1:").arg(pixelsAt(50)));
}

TEST_F(SaneDeviceTest, TerminationSignalsStayHandledWhileAScanRuns) {
  // The test backend's reader thread sets SIGTERM to its default action as it starts: a
  // logout in the middle of a scan must still end the program as a normal quit.
  int asked = 0;
  ASSERT_TRUE(zuvo::quitOnTerminationSignals([&] { ++asked; }));
  useTestBackend(1, kSlow);
  ScannerDevice* d = openFirstDevice();
  ASSERT_TRUE(d);
  d->requestScan(settingsFor(*d->selectedFunctionalUnit(), 300));
  spin(1s);  // the page is under way
  ASSERT_TRUE(d->selectedFunctionalUnit()->scanInProgress);
  struct sigaction now {};
  ASSERT_EQ(::sigaction(SIGTERM, nullptr, &now), 0);
  EXPECT_NE(now.sa_handler, SIG_DFL);
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);  // would end this process at its default action
  EXPECT_TRUE(waitUntil([&] { return asked == 1; }, kDeadline));
  d->cancelScan();
  ASSERT_TRUE(waitUntil([&] { return !events->first("complete:").isEmpty(); }, 30s));
  EXPECT_EQ(events->lines.mid(2), QStringList({"complete:Operation was canceled"}));
}

TEST_F(SaneDeviceTest, EveryHandleIsClosedWhenTheBrowserGoes) {
  useTestBackend(2, kSlow);
  startBrowser();
  ASSERT_TRUE(waitUntil([&] { return devices.size() == 2; }, kDeadline));
  ScannerEvents first(devices[0]), second(devices[1]);
  devices[0]->requestOpenSession();
  devices[1]->requestOpenSession();
  ASSERT_TRUE(waitUntil([&] { return first.has("ready") && second.has("ready"); }, kDeadline));
  EXPECT_EQ(openSaneHandleCount(), 2);
  ScanSettings s;
  s.resolution = 300;
  devices[0]->requestScan(s);  // a slow scan still running
  spin(200ms);
  browser.reset();
  EXPECT_EQ(openSaneHandleCount(), 0);
}

TEST_F(SaneDeviceTest, RequestsWithoutASessionRequestNothing) {
  useTestBackend(1);
  startBrowser();
  ASSERT_TRUE(waitUntil([&] { return !devices.isEmpty(); }, kDeadline));
  ScannerEvents ev(devices[0]);
  devices[0]->requestScan(ScanSettings{});
  devices[0]->requestOverviewScan(75);
  devices[0]->cancelScan();
  devices[0]->requestCloseSession();
  ASSERT_TRUE(waitUntil([&] { return ev.lines.size() == 2; }, kDeadline));
  EXPECT_EQ(ev.lines, QStringList({"complete:Invalid argument", "overview:0x0:Invalid argument"}));
  EXPECT_EQ(openSaneHandleCount(), 0);
}

}  // namespace
