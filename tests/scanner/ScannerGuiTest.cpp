// The real ZuvoScanner on a display of its own, used through the accessibility interface as a
// user uses it: the settings window, and a scan on SANE's test backend.
#include "ScannerProcess.h"

#include "platform/UserDefaults.h"
#include "support/GuiSession.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <gtest/gtest.h>

using namespace zuvo::test;

namespace {

const QString kApp = "ZuvoScanner";

QString settingsFile() { return zuvo::UserDefaults::filePath("com.roza.zuvoscanner"); }

class ScannerGuiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gui.start()) << gui.error().toStdString(); }

  void startScanner(ScannerProcess& p, const QStringList& args) {
    const QProcessEnvironment env = gui.programEnvironment();
    for (const QString& key : env.keys()) p.environment().insert(key, env.value(key));
    ASSERT_TRUE(p.start(args));
  }

  // Runs one driver command; fails the test with the driver's reason.
  void drive(const QStringList& args, QString* out = nullptr) {
    ASSERT_EQ(gui.drive(args, out), 0) << args.join(' ').toStdString() << ": " << gui.error().toStdString();
  }

  GuiSession gui;
};

}  // namespace

TEST_F(ScannerGuiTest, SettingsWindowStoresWhatTheUserTypes) {
  ScannerProcess p;
  startScanner(p, {"ScanSettings"});
  drive({"wait", kApp, "Scan Settings"});
  drive({"set-text", kApp, "Resolution (dpi)", "300dpi"});
  drive({"press", kApp, "Duplex"});
  drive({"press", kApp, "Save"});
  ASSERT_TRUE(p.waitForFinished()) << "the program kept running after Save";
  EXPECT_EQ(p.exitCode(), 0);
  const QByteArray stored = readFile(settingsFile());
  EXPECT_TRUE(stored.contains("dpivalue=300\n")) << stored.constData();
  EXPECT_TRUE(stored.contains("isduplex=true\n")) << stored.constData();

  // The next launch shows what was stored; Close changes nothing and ends it too.
  ScannerProcess again;
  startScanner(again, {"ScanSettings"});
  QString shown;
  drive({"text", kApp, "Resolution (dpi)"}, &shown);
  EXPECT_EQ(shown.toStdString(), "300");
  drive({"state", kApp, "check box", "Duplex", "checked"});
  drive({"set-text", kApp, "Resolution (dpi)", "1200"});
  drive({"press", kApp, "Close"});
  ASSERT_TRUE(again.waitForFinished()) << "the program kept running after Close";
  EXPECT_EQ(readFile(settingsFile()), stored);
}

TEST_F(ScannerGuiTest, ScannerWindowShowsItsControlsAndCancelRequestEndsTheProgram) {
  ScannerProcess p;
  startScanner(p, {"ScanDoc", "T1", "http://127.0.0.1:9/upload", "false"});
  drive({"wait", kApp, "Scan Document"});
  for (const char* name : {"Scanners", "Functional unit", "Open", "Overview", "Scan"}) drive({"wait", kApp, name});
  drive({"state", kApp, "push button", "Open", "enabled"});
  drive({"press", kApp, "Cancel request"});
  ASSERT_TRUE(p.waitForFinished()) << "the program kept running without a window";
  EXPECT_EQ(p.exitCode(), 0);
}

TEST_F(ScannerGuiTest, ScanOnTheTestBackendWritesThePageIntoTheScanFolder) {
  // SANE's test backend alone, one device.
  const QString saneConfig = makeTempDir("sane");
  ASSERT_TRUE(writeFile(saneConfig + "/dll.conf", "test\n"));
  ASSERT_TRUE(writeFile(saneConfig + "/test.conf", "number_of_devices 1\ntest-picture \"Color pattern\"\n"));

  ScannerProcess p;
  p.environment().insert("SANE_CONFIG_DIR", saneConfig);
  startScanner(p, {"ScanDoc", "T1", "http://127.0.0.1:9/upload", "false"});
  drive({"wait", kApp, "Scan Document"});
  drive({"click-row", kApp, "Scanners", "(test:0)"});
  drive({"state", kApp, "push button", "Scan", "enabled"});
  drive({"press", kApp, "Scan"});

  // The page counts once it reads as a whole picture.
  const QString page = scanFolder() + "/Scan.jpeg";
  QImage image;
  ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(page) && !(image = QImage(page, "JPEG")).isNull(); },
                        std::chrono::seconds(120)))
      << p.output().toStdString();
  EXPECT_EQ(QImageReader(page).imageFormat(), QImage::Format_RGB32) << "three colour components";
  EXPECT_TRUE(p.isRunning());
  EXPECT_TRUE(readFile(p.alertLogPath()).isEmpty()) << readFile(p.alertLogPath()).constData();
}
