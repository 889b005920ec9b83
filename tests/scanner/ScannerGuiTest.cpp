// The real ZuvoScanner on a display of its own, used through the accessibility interface as a
// user uses it: the settings window, and a scan on SANE's test backend.
#include "ScannerProcess.h"
#include "images/ImageFixtures.h"

#include "platform/desktop/UserDefaults.h"
#include "support/FakeDocumentServer.h"
#include "support/GuiSession.h"
#include "support/JsonLines.h"
#include "support/ScanUploadCheck.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonObject>
#include <QSettings>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>

#include <csignal>

using namespace zuvo::test;

namespace {

const QString kApp = "ZuvoScanner";

QString settingsFile() { return zuvo::UserDefaults::filePath("com.roza.zuvoscanner"); }

class ScannerGuiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gui.start()) << gui.error().toStdString(); }

  // extra: set over the display's environment.
  void startScanner(ScannerProcess& p, const QStringList& args, const QProcessEnvironment& extra = {}) {
    const QProcessEnvironment env = gui.programEnvironment();
    for (const QString& key : env.keys()) p.environment().insert(key, env.value(key));
    for (const QString& key : extraEnvironment.keys()) p.environment().insert(key, extraEnvironment.value(key));
    p.environment().insert(extra);
    ASSERT_TRUE(p.start(args));
  }

  // Runs one driver command; fails the test with the driver's reason.
  void drive(const QStringList& args, QString* out = nullptr) {
    ASSERT_EQ(gui.drive(args, out), 0) << args.join(' ').toStdString() << ": " << gui.error().toStdString();
  }

  // SANE's test backend alone, one device, and scans at a low resolution.
  void useTestBackend(ScannerProcess& p) {
    const QString saneConfig = makeTempDir("sane");
    ASSERT_TRUE(writeFile(saneConfig + "/dll.conf", "test\n"));
    ASSERT_TRUE(writeFile(saneConfig + "/test.conf", "number_of_devices 1\ntest-picture \"Color pattern\"\n"));
    p.environment().insert("SANE_CONFIG_DIR", saneConfig);
    QSettings s(settingsFile(), QSettings::IniFormat);
    s.setValue("dpivalue", kDpi);
    s.sync();
  }

  // Selects the test scanner, the unit when given, and starts a scan.
  void scan(const char* unit) {
    drive({"wait", kApp, "Scan Document"});
    drive({"click-row", kApp, "Scanners", "(test:0)"});
    drive({"state", kApp, "push button", "Scan", "enabled"});
    if (unit) {
      // Qt 6.4 names a combo box by its current item, not by its accessible name.
      drive({"choose", kApp, "Flatbed", unit});
      drive({"state", kApp, "push button", "Scan", "enabled"});
    }
    drive({"press", kApp, "Scan"});
  }

  // The server up with these replies, then the scanner started on the test backend for a
  // request with this token, path and mode, and a scan started with the unit.
  void scanFor(FakeDocumentServer& server, const QList<FakeReply>& replies, ScannerProcess& p, const QString& token,
               const QString& pathAndQuery, const QString& quick, const char* unit = nullptr) {
    ASSERT_TRUE(server.route("POST " + pathAndQuery.section('?', 0, 0), replies));
    ASSERT_TRUE(server.start());
    useTestBackend(p);
    startScanner(p, {"ScanDoc", token, server.url(pathAndQuery), quick});
    scan(unit);
  }

  // Scans outside quick mode: the browser open on the scan's first page.
  void openBrowserAfterScan(FakeDocumentServer& server, ScannerProcess& p, const QString& token) {
    scanFor(server, {FakeReply{.status = 200}}, p, token, "/upload", "false");
    drive({"click-row", kApp, "Pages", "Scan 0.jpeg"});
  }

  static constexpr int kDpi = 75;
  GuiSession gui;
  QProcessEnvironment extraEnvironment;  // set for the program after the display's
};

// A file under a name of raw bytes (which no QString reaches).
bool writeRawName(const QString& folder, const QByteArray& name, const QByteArray& content) {
  FILE* out = std::fopen((QFile::encodeName(folder) + '/' + name).constData(), "wb");
  if (!out) return false;
  const bool ok = std::fwrite(content.constData(), 1, size_t(content.size()), out) == size_t(content.size());
  return std::fclose(out) == 0 && ok;
}

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

TEST_F(ScannerGuiTest, ScannerWindowShowsItsControlsAndCancelRequestEndsOnlyWhenTheServerTookIt) {
  for (const int reply : {500, 200}) {
    SCOPED_TRACE(reply);
    FakeDocumentServer server;
    ASSERT_TRUE(server.route("POST /upload", FakeReply{.status = reply}));
    ASSERT_TRUE(server.start());
    ScannerProcess p;
    startScanner(p, {"ScanDoc", "T1", server.url("/upload"), "false"});
    drive({"wait", kApp, "Scan Document"});
    for (const char* name : {"Scanners", "Functional unit", "Open", "Overview", "Scan"}) drive({"wait", kApp, name});
    drive({"state", kApp, "push button", "Open", "enabled"});
    drive({"press", kApp, "Cancel request"});
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests()[0].body, "Status=Cancel&token=T1");
    if (reply == 200) {
      ASSERT_TRUE(p.waitForFinished()) << "the program kept running without a window";
      EXPECT_EQ(p.exitCode(), 0);
    } else {
      EXPECT_FALSE(p.waitForFinished(std::chrono::seconds(2))) << "the window closed though the server refused";
    }
  }
}

TEST_F(ScannerGuiTest, QuickScanOnTheTestBackendIsUploadedAsOnePdfAndEndsTheProgram) {
  const struct {
    const char* name;
    const char* unit;  // the functional unit chosen, none: the flatbed the scanner starts with
  } cases[] = {{"flatbed", nullptr}, {"feeder", "Document Feeder"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    FakeDocumentServer server;
    ScannerProcess p;
    scanFor(server, {FakeReply{.status = 200}}, p, "Tok 9", "/scan/upload?doc=4&x=a%2Fb", "true", k.unit);
    ASSERT_TRUE(p.waitForFinished(std::chrono::seconds(120))) << p.output().toStdString();
    EXPECT_EQ(p.exitCode(), 0);

    const QStringList pages = QDir(scanFolder()).entryList({"Scan*.jpeg"}, QDir::Files);
    ASSERT_FALSE(pages.isEmpty());
    QStringList inOrder;
    for (int i = 0; i < pages.size(); ++i) inOrder << scanFolder() + QStringLiteral("/Scan %1.jpeg").arg(i);
    EXPECT_EQ(checkUploadOfPages(server, "/scan/upload", "Tok 9", inOrder), "");
    if (k.unit) {
      EXPECT_GT(pages.size(), 1) << "a feeder of the test backend gives several pages" << p.output().toStdString();
    }
    for (const JournaledRequest& r : server.requests()) EXPECT_EQ(r.query, "doc=4&x=a%2Fb");
    // Each page measures its pixels at the scan's resolution.
    const QImage first(inOrder[0]);
    const PdfFacts facts = pdfFacts(*scanUploadContent(server.requests()[0].body, "Tok 9"));
    ASSERT_FALSE(facts.sizes.isEmpty());
    const QStringList size = facts.sizes[0].split(" x ");
    EXPECT_NEAR(size[0].toDouble(), first.width() * 72.0 / kDpi, 0.01);
    EXPECT_NEAR(size[1].toDouble(), first.height() * 72.0 / kDpi, 0.01);
    const QList<QJsonObject> alerts = readJsonLines(p.alertLogPath());
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_EQ(alerts[0]["informative"].toString(), "File upload completed.");
  }
}

TEST_F(ScannerGuiTest, QuickScanThatCannotBeUploadedKeepsTheWindowWithTheSheet) {
  const struct {
    const char* name;
    QList<FakeReply> replies;  // the upload's, then the status report's
    QByteArray status;
    QString message, informative;
  } cases[] = {
      {"upload refused", {FakeReply{.status = 500}, FakeReply{.status = 200}}, "Status=Cancel&token=T2",
       "An error occurred while uploading document : ", ""},
      {"server hangs", {FakeReply{.delaySeconds = 20}, FakeReply{.status = 200}}, "Status=Cancel&token=T2",
       "An error occurred while uploading document : The request timed out.", ""},
      // The user must not take the scan for sent, nor send it again unknowingly.
      {"status refused", {FakeReply{.status = 200}, FakeReply{.status = 500}}, "Status=Completed&token=T2", "",
       "An error occurred while sending status"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    FakeDocumentServer server;
    ScannerProcess p;
    p.environment().insert("ZUVO_HTTP_TIMEOUT_MS", "1500");
    scanFor(server, k.replies, p, "T2", "/upload", "true");
    ASSERT_TRUE(waitUntil([&] { return !readJsonLines(p.alertLogPath()).isEmpty(); }, std::chrono::seconds(120)))
        << p.output().toStdString();
    ASSERT_TRUE(server.waitForRequests(2));
    EXPECT_EQ(server.requests()[1].body, k.status);
    const QList<QJsonObject> alerts = readJsonLines(p.alertLogPath());
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_TRUE(alerts[0]["message"].toString().startsWith(k.message)) << alerts[0]["message"].toString().toStdString();
    EXPECT_EQ(alerts[0]["informative"].toString(), k.informative);
    drive({"wait", kApp, "Scan Document"});
    EXPECT_TRUE(p.isRunning());
  }
}

TEST_F(ScannerGuiTest, ScanOutsideQuickModeOpensTheBrowserWhoseUploadEndsTheProgram) {
  FakeDocumentServer server;
  ScannerProcess p;
  scanFor(server, {FakeReply{.status = 200}}, p, "T1", "/upload", "false");

  // The browser takes the scanner window's place, on the page the scan wrote.
  drive({"wait", kApp, "Documents"}, nullptr);
  drive({"click-row", kApp, "Pages", "Scan 0.jpeg"});
  const QString page = scanFolder() + "/Scan 0.jpeg";
  ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(page); }));
  EXPECT_EQ(QImageReader(page).imageFormat(), QImage::Format_RGB32) << "three colour components";
  EXPECT_FALSE(QFileInfo::exists(scanFolder() + "/Scan.jpeg"));
  ASSERT_TRUE(waitUntil([&] { return gui.drive({"wait", kApp, "Scan Document"}, nullptr, std::chrono::seconds(3)) != 0; },
                        std::chrono::seconds(30)))
      << "the scanner window stayed open";
  EXPECT_TRUE(server.requests().isEmpty());

  drive({"press", kApp, "Upload"});
  ASSERT_TRUE(p.waitForFinished()) << p.output().toStdString();
  EXPECT_EQ(p.exitCode(), 0);
  EXPECT_EQ(checkUploadOfPages(server, "/upload", "T1", {page}), "");
  EXPECT_TRUE(readFile(p.alertLogPath()).contains("File upload completed.")) << readFile(p.alertLogPath()).constData();
}

// The server answers the upload with a redirect: to its login page (an expired session, the
// page itself answering 200) or to another server. In quick mode and from the browser the
// scanner shows the failure with the status and its target, the pages stay, the program keeps
// running, and neither the page nor the other server is asked for anything.
TEST_F(ScannerGuiTest, UploadAnsweredWithARedirectShowsItsFailureAndKeepsThePages) {
  for (const bool quick : {true, false}) {
    for (const int status : {302, 307}) {
      SCOPED_TRACE(testing::Message() << (quick ? "quick mode " : "browser ") << status);
      FakeDocumentServer server, elsewhere;
      ASSERT_TRUE(elsewhere.start());
      ASSERT_TRUE(server.route("GET /login", FakeReply{.body = "<html>Sign in</html>"}));
      const QByteArray location = status == 302 ? "/login?next=scan" : elsewhere.url("/upload").toUtf8();
      ScannerProcess p;
      scanFor(server, {FakeReply{.status = status, .headers = {{"Location", location}}}}, p, "T3", "/upload",
              quick ? "true" : "false");
      if (!quick) {
        drive({"wait", kApp, "Documents"});
        drive({"press", kApp, "Upload"});
      }
      ASSERT_TRUE(waitUntil([&] { return !readJsonLines(p.alertLogPath()).isEmpty(); }, std::chrono::seconds(120)))
          << p.output().toStdString();
      spin(std::chrono::milliseconds(500));  // a status report after the sheet would show here
      const QString shown = status == 302 ? server.url("/login") : elsewhere.url("/upload");
      const QList<QJsonObject> alerts = readJsonLines(p.alertLogPath());
      ASSERT_EQ(alerts.size(), 1);
      EXPECT_EQ(alerts[0]["message"].toString(),
                QString("An error occurred while uploading document : Request failed: redirected (%1) to %2")
                    .arg(status)
                    .arg(shown));
      EXPECT_EQ(alerts[0]["informative"].toString(), "");
      // Quick mode reports "Cancel" (itself redirected, so refused); the browser reports nothing.
      QList<QByteArray> sent;
      for (const JournaledRequest& r : server.requests()) sent << r.method + " " + r.path;
      const QList<QByteArray> expected(quick ? 2 : 1, "POST /upload");
      EXPECT_EQ(sent, expected);
      if (quick) {
        EXPECT_EQ(server.requests()[1].body, "Status=Cancel&token=T3");
      }
      EXPECT_TRUE(elsewhere.requests().isEmpty());
      EXPECT_TRUE(p.isRunning());
      drive({"wait", kApp, quick ? "Scan Document" : "Documents"});
      EXPECT_FALSE(QDir(scanFolder()).entryList({"Scan*.jpeg"}, QDir::Files).isEmpty());
    }
  }
}

// Some sandboxes, and users' own settings, leave the shared MIME database out of XDG_DATA_DIRS,
// where Qt alone looks for it: the scanner's own pages are pages all the same, on both roads.
TEST_F(ScannerGuiTest, WithoutTheSharedMimeDatabaseTheScansPagesAreStillSent) {
  extraEnvironment.insert("XDG_DATA_DIRS", makeTempDir("no-mime-database"));
  for (const QString quick : {"true", "false"}) {
    SCOPED_TRACE(quick.toStdString());
    FakeDocumentServer server;
    ScannerProcess p;
    scanFor(server, {FakeReply{.status = 200}}, p, "T3", "/upload", quick);
    if (quick == "false") {
      drive({"click-row", kApp, "Pages", "Scan 0.jpeg"});
      drive({"press", kApp, "Upload"});
    }
    ASSERT_TRUE(p.waitForFinished(std::chrono::seconds(120))) << p.output().toStdString();
    QStringList inOrder;
    const qsizetype count = QDir(scanFolder()).entryList({"Scan*.jpeg"}, QDir::Files).size();
    for (int i = 0; i < count; ++i) inOrder << scanFolder() + QStringLiteral("/Scan %1.jpeg").arg(i);
    ASSERT_FALSE(inOrder.isEmpty());
    EXPECT_EQ(checkUploadOfPages(server, "/upload", "T3", inOrder), "") << p.output().toStdString();
    EXPECT_FALSE(p.output().contains("Not a page of the scan")) << p.output().toStdString();
  }
}

// Pages the browser lists but cannot send are refused by name, and nothing is sent or lost;
// a page whose name is not valid UTF-8 is listed and sent.
TEST_F(ScannerGuiTest, BrowserUploadRefusesPagesItCannotSendAndSendsOddlyNamedOnes) {
  const QByteArray small = encodeImage(testPicture(QSize(64, 64)), "jpeg");
  const QString replaced = QStringLiteral("Scan 1\uFFFD.jpeg");
  const struct {
    const char* name;
    std::function<bool(const QString& folder)> add;
    QString listedAs;
    const char* refusal;  // part of the reason shown, none: sent
  } cases[] = {
      {"header far larger than its data",
       [&](const QString& folder) { return writeFile(folder + "/Scan 1.jpeg", withFrameSize(small, 65000, 65000)); },
       "Scan 1.jpeg", "does not match its 65000 x 65000 header"},
      // A sparse file of 3 GiB: refused by its size, never read into memory.
      {"file far larger than any page",
       [&](const QString& folder) {
         QFile f(folder + "/Scan 12.jpeg");
         return f.open(QIODevice::WriteOnly) && f.resize(qint64(3) << 30);
       },
       "Scan 12.jpeg", "too large for a page"},
      {"name not valid UTF-8", [&](const QString& folder) { return writeRawName(folder, "Scan 1\xFF.jpeg", small); },
       replaced, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDocumentServer server;
    ScannerProcess p;
    openBrowserAfterScan(server, p, "T4");
    ASSERT_TRUE(c.add(scanFolder()));
    drive({"click-row", kApp, "Pages", c.listedAs});
    const long before = p.statusKiB("VmRSS");
    ASSERT_TRUE(p.resetPeak());
    drive({"press", kApp, "Upload"});
    const QString listed = scanFolder() + "/" + c.listedAs;
    if (!c.refusal) {
      ASSERT_TRUE(p.waitForFinished()) << p.output().toStdString();
      EXPECT_EQ(checkUploadOfPages(server, "/upload", "T4", {scanFolder() + "/Scan 0.jpeg", listed}), "");
      EXPECT_EQ(readFile(listed), small);
      continue;
    }
    ASSERT_TRUE(waitUntil([&] { return !readJsonLines(p.alertLogPath()).isEmpty(); }, std::chrono::seconds(60)))
        << p.output().toStdString();
    const QList<QJsonObject> alerts = readJsonLines(p.alertLogPath());
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_EQ(alerts[0]["message"].toString(),
              QStringLiteral("The page \u201c%1\u201d cannot be read. Nothing was sent.").arg(c.listedAs));
    EXPECT_TRUE(alerts[0]["informative"].toString().contains(c.refusal))
        << alerts[0]["informative"].toString().toStdString();
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_TRUE(QFileInfo::exists(scanFolder() + "/Scan 0.jpeg") && QFileInfo::exists(listed));
    EXPECT_LT(p.statusKiB("VmHWM") - before, 64 * 1024) << "the upload read the page into memory";
    EXPECT_TRUE(p.isRunning());
  }
}

// A colour A4 page as scanners make it at 600 and 1200 dpi opens in the single-image window,
// is turned and cropped there, and written back; the program holds a few copies of the page
// at most.
TEST_F(ScannerGuiTest, ColourA4PagesAtHighResolutionAreEditedInTheImageWindow) {
  const struct {
    int dpi;
    QSize size;
  } cases[] = {{600, {4960, 7016}}, {1200, {9920, 14032}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dpi);
    FakeDocumentServer server;
    ScannerProcess p;
    openBrowserAfterScan(server, p, "T5");
    const QString page = scanFolder() + "/Scan 1.jpeg";
    ASSERT_TRUE(writeTestImage(page, c.size, "jpeg", c.dpi));
    drive({"click-row", kApp, "Pages", "Scan 1.jpeg"});
    const long before = p.statusKiB("VmRSS");
    ASSERT_TRUE(p.resetPeak());

    drive({"double-click-row", kApp, "Pages", "Scan 1.jpeg"});
    drive({"press", kApp, "Rotate"});
    drive({"drag", kApp, "Image", "0.5", "0.5", "0.5", "0.5"});  // a click turns a quarter
    drive({"press", kApp, "Crop"});
    drive({"drag", kApp, "Image", "0", "0.4", "1", "0.6"});  // across the whole width
    drive({"press", kApp, "Save"});
    ASSERT_TRUE(waitUntil([&] { return gui.drive({"wait", kApp, "Rotate"}, nullptr, std::chrono::seconds(3)) != 0; },
                          std::chrono::seconds(60)))
        << "the window stayed open";
    ASSERT_TRUE(waitUntil([&] { return QImageReader(page).size() != c.size; }, std::chrono::seconds(10)))
        << p.output().toStdString();
    // Turned: the whole width is the page's height; cropped to a band of it.
    const QSize saved = QImageReader(page).size();
    EXPECT_GT(saved.width(), c.size.height() * 9 / 10) << saved.width() << "x" << saved.height();
    EXPECT_LT(saved.height(), c.size.width() / 2) << saved.width() << "x" << saved.height();
    EXPECT_TRUE(readJsonLines(p.alertLogPath()).isEmpty()) << readFile(p.alertLogPath()).constData();
    const long pageKiB = long(c.size.width()) * c.size.height() * 4 / 1024;
    EXPECT_LT(p.statusKiB("VmHWM") - before, 3 * pageKiB) << "page " << pageKiB << " KiB";
    EXPECT_TRUE(p.isRunning());
  }
}

TEST_F(ScannerGuiTest, SettingsThatCannotBeStoredAreReportedBeforeTheWindowEnds) {
  const struct {
    const char* name;
    bool fullDisk;  // else a folder where the settings' file belongs
    QString reason;
  } cases[] = {{"file is a folder", false, "Is a directory"}, {"full disk", true, "No space left on device"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    QProcessEnvironment extra;
    QString configHome, file = settingsFile();
    if (k.fullDisk) {
      configHome = makeTempDir("config");
      QString error;
      if (!mountSmallFileSystem(configHome, 64 * 1024, &error)) GTEST_SKIP() << error.toStdString();
      ASSERT_TRUE(fillFileSystem(configHome));
      extra.insert("XDG_CONFIG_HOME", configHome);
      file = configHome + "/com.roza.zuvoscanner.conf";
    } else {
      ASSERT_TRUE(QDir().mkpath(file));
    }
    ScannerProcess p;
    startScanner(p, {"ScanSettings"}, extra);
    drive({"wait", kApp, "Scan Settings"});
    drive({"set-text", kApp, "Resolution (dpi)", "300"});
    drive({"press", kApp, "Save"});
    ASSERT_TRUE(p.waitForFinished()) << p.output().toStdString();
    EXPECT_EQ(p.exitCode(), 1);
    const QList<QJsonObject> alerts = readJsonLines(p.alertLogPath());
    ASSERT_EQ(alerts.size(), 1) << p.output().toStdString();
    EXPECT_EQ(alerts[0]["message"].toString(), "The scan settings could not be saved.");
    EXPECT_EQ(alerts[0]["informative"].toString(), file + " cannot be written: " + k.reason);
    EXPECT_FALSE(readFile(file).contains("dpivalue"));
    if (k.fullDisk) EXPECT_TRUE(unmountFileSystem(configHome));
    else EXPECT_TRUE(QFileInfo(file).isDir());
  }
}

TEST_F(ScannerGuiTest, PdfThatCannotBeWrittenNamesTheSystemsReasonAndNothingIsSent) {
  // The scan's pages fit; the PDF of them no longer does.
  const QString scannerData = QFileInfo(scanFolder()).path();
  QString error;
  if (!mountSmallFileSystem(scannerData, 16 * 1024 * 1024, &error)) GTEST_SKIP() << error.toStdString();
  FakeDocumentServer server;
  ScannerProcess p;
  scanFor(server, {FakeReply{.status = 200}}, p, "T4", "/upload", "false");
  drive({"wait", kApp, "Documents"});
  drive({"click-row", kApp, "Pages", "Scan 0.jpeg"});
  // Room for a part of the PDF: the disk fills up while it is written.
  ASSERT_GT(QFileInfo(scanFolder() + "/Scan 0.jpeg").size(), 64 * 1024);
  ASSERT_TRUE(fillFileSystem(scannerData, 8 * 1024));
  drive({"press", kApp, "Upload"});
  ASSERT_TRUE(waitUntil([&] { return !readJsonLines(p.alertLogPath()).isEmpty(); })) << p.output().toStdString();
  const QList<QJsonObject> alerts = readJsonLines(p.alertLogPath());
  ASSERT_EQ(alerts.size(), 1);
  const QString message = alerts[0]["message"].toString();
  EXPECT_TRUE(message.startsWith("An error occurred while uploading document : Cannot write the PDF "))
      << message.toStdString();
  EXPECT_TRUE(message.endsWith("/View_1.pdf: No space left on device")) << message.toStdString();
  EXPECT_TRUE(server.requests().isEmpty());
  EXPECT_TRUE(QFileInfo::exists(scanFolder() + "/Scan 0.jpeg"));
  EXPECT_FALSE(QFileInfo::exists(scanFolder() + "/View_1.pdf"));
  drive({"wait", kApp, "Documents"});
  p.stop();
  EXPECT_TRUE(unmountFileSystem(scannerData));
}

TEST_F(ScannerGuiTest, TerminationSignalDuringAnUploadEndsItOnItsFailureRoad) {
  const struct {
    const char* name;
    const char* quick;
    FakeReply report;           // the reply to a status report
    QList<QByteArray> reports;  // after the upload
    QString logged;
  } cases[] = {
      // The quick road tells the server of a failed upload; the browser's does not.
      {"quick road", "true", {.status = 200}, {"Status=Cancel&token=T3"}, "Error occurred while uploading scan document "},
      {"browser road", "false", {.status = 200}, {}, "An error occurred while uploading document : "},
      // A server that keeps the report does not keep the program.
      {"report unanswered", "true", {.hold = true}, {"Status=Cancel&token=T3"}, "Error occurred while uploading scan document "},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const qsizetype logged = fileLogLines().filter(k.logged).filter("cancelled").size();
    FakeDocumentServer server;
    ScannerProcess p;
    scanFor(server, {FakeReply{.hold = true}, k.report}, p, "T3", "/upload", k.quick);
    if (QByteArray(k.quick) == "false") {
      drive({"wait", kApp, "Documents"});
      drive({"press", kApp, "Upload"});
    }
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(120))) << p.output().toStdString();
    ASSERT_EQ(::kill(pid_t(p.pid()), SIGTERM), 0);
    ASSERT_TRUE(p.waitForFinished(std::chrono::seconds(15))) << p.output().toStdString();
    EXPECT_TRUE(p.exitedNormally());
    EXPECT_EQ(p.exitCode(), 0);
    QList<QByteArray> reports;
    for (const JournaledRequest& r : server.requests().mid(1)) reports << r.body;
    EXPECT_EQ(reports, k.reports);
    EXPECT_EQ(fileLogLines().filter(k.logged).filter("cancelled").size() - logged, 1) << fileLogLines().join('\n').toStdString();
    EXPECT_TRUE(readJsonLines(p.alertLogPath()).isEmpty()) << "a quitting program asks nobody";
  }
}
