// The real ZuvoScanner started as the bridge starts it: launch modes, arguments that look like
// Qt options, the scan folder reset, and one running copy per user.
#include "ScannerProcess.h"

#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <csignal>

using namespace zuvo::test;

namespace {

// Leaves something of an earlier run in the scan folder.
void fillScanFolder() {
  ASSERT_TRUE(QDir().mkpath(scanFolder() + "/old"));
  ASSERT_TRUE(writeFile(scanFolder() + "/Scan.jpeg", "old page"));
  ASSERT_TRUE(writeFile(scanFolder() + "/old/Scan 1.jpeg", "old page"));
}

bool scanFolderIsEmpty() {
  const QFileInfo info(scanFolder());
  return info.isDir() && !info.isSymLink() &&
         QDir(scanFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).isEmpty();
}

// Started and showing its window: it owns the name, its folder is empty, and it stays up.
::testing::AssertionResult runsWithWindow(ScannerProcess& p) {
  if (!waitUntil([&] { return !p.isRunning() || (scannerNameOwner() == p.pid() && scanFolderIsEmpty()); }))
    return ::testing::AssertionFailure() << "never ready; output: " << p.output().toStdString();
  if (!p.isRunning())
    return ::testing::AssertionFailure() << "ended with " << p.exitCode() << ": " << p.output().toStdString();
  spin(std::chrono::milliseconds(300));
  if (!p.isRunning())
    return ::testing::AssertionFailure() << "ended with " << p.exitCode() << ": " << p.output().toStdString();
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(ScannerLaunch, ModesAndShortArgumentLists) {
  const struct {
    QStringList args;
    bool runs;
    QString error;
  } cases[] = {
      {{"ScanDoc", "T1", "https://h/upload", "false", "7", "Doe", "1970-01-01"}, true, ""},
      {{"ScanDoc", "T1", "https://h/upload"}, true, ""},
      // A token is data: these stay as they are (the status report sends them unencoded).
      {{"ScanDoc", "T&a=1 \u00e9", "https://h/upload", "true"}, true, ""},
      {{"ScanSettings"}, true, ""},
      {{"ScanSettings", "T1", "U", "true"}, true, ""},
      // Qt would take these for its own options, and fail or change its start without a display.
      {{"ScanDoc", "-platform", "xcb", "-reverse"}, true, ""},
      {{"ScanSettings", "-platformpluginpath", "/nonexistent", "-style", "x", "-stylesheet", "/nonexistent"}, true, ""},
      {{}, false, "No launch mode given"},
      {{""}, false, "Unknown launch mode"},
      {{"scandoc", "T1", "U", "false"}, false, "Unknown launch mode: \"scandoc\""},
      {{"Scandoc", "T1", "U"}, false, "Unknown launch mode"},
      {{"SCANSETTINGS"}, false, "Unknown launch mode"},
      {{"-platform", "xcb"}, false, "Unknown launch mode"},
      {{"ScanDoc"}, false, "ScanDoc without a token or an upload URL"},
      {{"ScanDoc", "T1"}, false, "ScanDoc without a token or an upload URL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(" | ").toStdString());
    fillScanFolder();
    ScannerProcess p;
    ASSERT_TRUE(p.start(c.args));
    if (c.runs) {
      EXPECT_TRUE(runsWithWindow(p));
    } else {
      ASSERT_TRUE(p.waitForFinished()) << "still running";
      EXPECT_EQ(p.exitCode(), 1);
      EXPECT_TRUE(p.output().contains(c.error)) << p.output().toStdString();
      // Every launch starts with an empty folder, also one that ends at once.
      EXPECT_TRUE(scanFolderIsEmpty());
    }
    p.stop();
    EXPECT_TRUE(waitUntil([] { return scannerNameOwner() == 0; }));
  }
}

TEST(ScannerLaunch, TokenThatWouldBreakTheUploadsPartHeaderIsRefusedInOneLogRecord) {
  const struct {
    const char* name;
    QString token;
    QString logged;  // as the log shows it
  } cases[] = {
      {"CR LF", "T1\r\nContent-Type: text/html\r\n\r\n<html>", "T1\\r\\nContent-Type: text/html\\r\\n\\r\\n<html>"},
      {"quote", "T1\"; filename=\"evil.html", "T1\"; filename=\"evil.html"},
      {"backslash", "T1\\", "T1\\"},
      {"line feed", "T1\n2026/01/01 00:00:00:000 | ERROR   | forged", "T1\\n2026/01/01 00:00:00:000 | ERROR   | forged"},
      {"tab, DEL and C1", QString("T\t1\x7f") + QChar(0x85), "T\\t1\\u007f\\u0085"},
  };
  const QRegularExpression record(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3} \| )");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScannerProcess p;
    ASSERT_TRUE(p.start({"ScanDoc", c.token, "https://h/upload", "true"}));
    ASSERT_TRUE(p.waitForFinished()) << "a window for a token that cannot be sent";
    EXPECT_EQ(p.exitCode(), 1);
    const QString expected = "Token refused, it holds a control character, '\"' or '\\': \"" + c.logged + "\"";
    EXPECT_TRUE(p.output().contains(expected)) << p.output().toStdString();
    const QStringList lines = fileLogLines();
    EXPECT_EQ(lines.filter(expected).size(), 1);
    for (const QString& line : lines) EXPECT_TRUE(record.match(line).hasMatch()) << "a forged record: " << line.toStdString();
  }
}

TEST(ScannerLaunch, TerminationSignalsEndItAsANormalQuitWithItsLogWritten) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const qsizetype before = fileLogLines().filter("Asked to quit").size();
    ScannerProcess p;
    ASSERT_TRUE(p.start({"ScanDoc", "T1", "https://h/upload", "false"}));
    ASSERT_TRUE(runsWithWindow(p));
    ASSERT_EQ(::kill(pid_t(p.pid()), signal), 0);
    ASSERT_TRUE(p.waitForFinished());
    EXPECT_TRUE(p.exitedNormally());
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(fileLogLines().filter("Asked to quit").size(), before + 1);
  }
}

TEST(ScannerLaunch, ResetNeverFollowsALinkInTheFoldersPlace) {
  const QString elsewhere = makeTempDir("elsewhere");
  ASSERT_TRUE(writeFile(elsewhere + "/keep.jpeg", "not ours"));
  ASSERT_TRUE(QDir().mkpath(QFileInfo(scanFolder()).path()));
  ASSERT_TRUE(QFile::link(elsewhere, scanFolder()));

  ScannerProcess p;
  ASSERT_TRUE(p.start({"ScanSettings"}));
  EXPECT_TRUE(runsWithWindow(p));
  EXPECT_FALSE(QFileInfo(scanFolder()).isSymLink());
  EXPECT_EQ(readFile(elsewhere + "/keep.jpeg"), "not ours");
}

TEST(ScannerLaunch, FolderThatCannotBeMadeIsLoggedAndTheLaunchGoesOn) {
  // A file where a parent folder belongs.
  const QString parent = QFileInfo(QFileInfo(scanFolder()).path()).filePath();
  ASSERT_TRUE(QDir().mkpath(QFileInfo(parent).path()));
  ASSERT_TRUE(writeFile(parent, "a file"));

  ScannerProcess p;
  ASSERT_TRUE(p.start({"ScanDoc", "T1", "U", "false"}));
  EXPECT_TRUE(p.waitForOutput("Error while creating Scan Document Path : ")) << p.output().toStdString();
  EXPECT_TRUE(waitUntil([&] { return scannerNameOwner() == p.pid(); }));
  spin(std::chrono::milliseconds(300));
  EXPECT_TRUE(p.isRunning());
}

TEST(ScannerLaunch, SecondLaunchBringsTheFirstToTheFrontAndLeavesItsFilesAlone) {
  ScannerProcess first;
  ASSERT_TRUE(first.start({"ScanDoc", "T1", "https://h/upload", "false"}));
  ASSERT_TRUE(runsWithWindow(first));
  ASSERT_TRUE(writeFile(scanFolder() + "/Scan.jpeg", "page of the running scan"));

  for (const QStringList& args : {QStringList{"ScanSettings"}, QStringList{"ScanDoc", "T2", "U2", "true"},
                                  QStringList{"nonsense"}}) {
    ScannerProcess second;
    ASSERT_TRUE(second.start(args));
    ASSERT_TRUE(second.waitForFinished()) << "the second copy keeps running";
    EXPECT_EQ(second.exitCode(), 0) << second.output().toStdString();
    EXPECT_TRUE(second.output().contains("ZuvoScanner is already running: brought it to the front"))
        << second.output().toStdString();
  }
  EXPECT_TRUE(first.waitForOutput("Brought to the front for another launch"));
  EXPECT_EQ(first.output().count("Brought to the front for another launch"), 3);
  EXPECT_EQ(readFile(scanFolder() + "/Scan.jpeg"), "page of the running scan");
  EXPECT_TRUE(first.isRunning());
  EXPECT_EQ(scannerNameOwner(), first.pid());

  // The bridge's own call reaches it the same way.
  QDBusMessage call = QDBusMessage::createMethodCall("com.roza.zuvoscanner", "/com/roza/zuvoscanner",
                                                     "org.freedesktop.Application", "Activate");
  call << QVariantMap();
  EXPECT_EQ(QDBusConnection::sessionBus().call(call).type(), QDBusMessage::ReplyMessage);
  EXPECT_TRUE(waitUntil([&] { return first.output().count("Brought to the front for another launch") == 4; }));
}
