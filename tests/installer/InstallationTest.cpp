// The installer's rules and steps below the window.
#include "installer/Installation.h"
#include "installer/KeptLetters.h"
#include "platform/fs/FileTree.h"
#include "platform/fs/Paths.h"
#include "platform/process/ProcessList.h"
#include "platform/desktop/WordProcessor.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace zuvo;
using namespace zuvo::installer;
using namespace zuvo::test;

namespace {

ino_t inode(const QString& path) {
  struct stat st {};
  return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

void makeExecutable(const QString& path) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  writeFile(path, "#!/bin/sh\nexit 0\n");
  QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
}

// One process of a fake /proc tree.
void addProcess(const QString& root, int pid, const QString& comm, int pgid, const QString& uid) {
  const QString dir = QString("%1/%2").arg(root).arg(pid);
  QDir().mkpath(dir);
  writeFile(dir + "/comm", (comm + "\n").toUtf8());
  writeFile(dir + "/stat", QString("%1 (%2) S 1 %3 %3 0 -1 4194560 0 0\n").arg(pid).arg(comm).arg(pgid).toUtf8());
  writeFile(dir + "/status", QString("Name:\t%1\nUid:\t%2\t%2\t%2\t%2\n").arg(comm, uid).toUtf8());
}

}  // namespace

TEST(InstallerRules, VersionCheck) {
  const struct { int major, minor; bool passes; } cases[] = {
      {10, 12, false}, {10, 0, false}, {10, 13, true}, {10, 15, true}, {11, 0, true}, {6, 1, true}, {0, 0, true}};
  for (const auto& c : cases)
    EXPECT_EQ(operatingSystemSupported(c.major, c.minor), c.passes) << c.major << "." << c.minor;
}

TEST(InstallerRules, HelperUnitsPassSystemdVerificationForAwkwardPaths) {
  // systemd-analyze verify fails on an ExecStart whose unquoted path is not an executable.
  const QString base = makeTempDir("units");
  int n = 0;
  for (const QString& name : {QString("plain"), QString("with blanks"), QString("o\"brien"), QString("100%"),
                              QString("$HOME"), QString("back\\slash"), QString("it's")}) {
    const QString exe = base + "/" + name + "/ZuvoHelper";
    makeExecutable(exe);
    const QString unitDir = QString("%1/u%2").arg(base).arg(n++);
    QDir().mkpath(unitDir);
    ASSERT_TRUE(writeFile(unitDir + "/com.roza.zuvohelper.service", helperServiceUnit(exe).toUtf8()));
    ASSERT_TRUE(writeFile(unitDir + "/com.roza.zuvohelper.timer", helperTimerUnit().toUtf8()));
    QByteArray out, err;
    EXPECT_EQ(runProgram("systemd-analyze", {"--user", "verify", unitDir + "/com.roza.zuvohelper.service",
                                             unitDir + "/com.roza.zuvohelper.timer"}, &out, &err), 0)
        << name.toStdString() << ": " << err.toStdString();
    EXPECT_TRUE(err.isEmpty()) << name.toStdString() << ": " << err.toStdString();
  }
  EXPECT_EQ(systemdQuote("/a b/%h$x\"\\"), "\"/a b/%%h$$x\\\"\\\\\"");
  EXPECT_TRUE(helperTimerUnit().contains("OnCalendar=Mon *-*-* 11:00:00\n"));
  EXPECT_TRUE(helperTimerUnit().contains("WantedBy=timers.target\n"));
  EXPECT_TRUE(helperServiceUnit("/x").contains("Type=oneshot\n"));
}

TEST(InstallerRules, ProcessChoiceOnAFakeProcTree) {
  const QString proc = makeTempDir("proc");
  const uid_t me = 1000;
  // pid, name, group, uid
  addProcess(proc, 100, "ZuvoLocalServer", 100, "1000");   // leads its group: the group
  addProcess(proc, 101, "ZuvoEditor", 50, "1000");         // in a script's group: itself only
  addProcess(proc, 102, "ZuvoScanner", 102, "1000");
  addProcess(proc, 103, "ZuvoRecorder", 103, "1000");
  addProcess(proc, 104, "ZuvoHelper", 77, "1000");         // leads nothing, in our group
  addProcess(proc, 77, "ZuvoHelper", 77, "1000");          // leads our own group: itself only
  addProcess(proc, 110, "zuvoeditor-sync", 110, "1000");   // longer name
  addProcess(proc, 111, "ZuvoScannerTest", 111, "1000");
  addProcess(proc, 112, "zuvoeditor", 112, "1000");        // other letter case
  addProcess(proc, 113, "ZuvoEditor", 113, "0");           // another user
  addProcess(proc, 114, "ZuvoEditor (x)", 114, "1000");
  addProcess(proc, 90, "ZuvoEditor", 90, "1000");          // the caller itself
  QDir().mkpath(proc + "/120");                            // ended while being read
  QDir().mkpath(proc + "/self");
  writeFile(proc + "/uptime", "1 1\n");

  const auto list = processList(proc);
  EXPECT_EQ(list.size(), 12u);
  for (const ProcessRecord& r : list) {
    if (r.processID == 114) {
      EXPECT_EQ(r.processName, "ZuvoEditor (x)");
    }
  }

  auto chosen = chooseProcesses(list, me, 90, 77);
  std::sort(chosen.begin(), chosen.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
  std::vector<std::pair<pid_t, bool>> got;
  for (const auto& c : chosen) got.emplace_back(c.pid, c.wholeGroup);
  const std::vector<std::pair<pid_t, bool>> expected = {
      {77, false}, {100, true}, {101, false}, {102, true}, {103, true}, {104, false}};
  EXPECT_EQ(got, expected);

  EXPECT_TRUE(processList(proc + "/missing").empty());
  EXPECT_TRUE(processEnded(120, proc));
  EXPECT_FALSE(processEnded(100, proc));
  writeFile(proc + "/100/stat", "100 (ZuvoLocalServer) Z 1 100 100 0\n");
  EXPECT_TRUE(processEnded(100, proc));
}

TEST(InstallerRules, TheRealProcessListShowsThisProcess) {
  bool found = false;
  for (const ProcessRecord& r : processList())
    if (r.processID == getpid()) {
      found = true;
      EXPECT_EQ(r.processGroup, getpgrp());
      ASSERT_TRUE(r.userID);
      EXPECT_EQ(*r.userID, geteuid());
      EXPECT_FALSE(r.userName.isEmpty());
    }
  EXPECT_TRUE(found);
}

TEST(InstallerSteps, BundleCopyNeverReplacesAndNeverLeavesHalfABundle) {
  const QString base = makeTempDir("copy");
  const QString source = base + "/src/ZuvoEditor.app";
  makeExecutable(source + "/Contents/MacOS/ZuvoEditor");
  ASSERT_TRUE(QFile::link("MacOS/ZuvoEditor", source + "/Contents/link"));
  const QString dest = base + "/dst/ZuvoEditor.app";
  QDir().mkpath(base + "/dst");

  QString error;
  ASSERT_TRUE(files::copyTreeNoReplace(source, dest, &error)) << error.toStdString();
  EXPECT_TRUE(QFileInfo(dest + "/Contents/MacOS/ZuvoEditor").isExecutable());
  EXPECT_EQ(QFileInfo(dest + "/Contents/link").symLinkTarget(), QFileInfo(dest + "/Contents/MacOS/ZuvoEditor").absoluteFilePath());
  const ino_t before = inode(dest);
  EXPECT_FALSE(files::copyTreeNoReplace(source, dest, &error));
  EXPECT_EQ(inode(dest), before);

  // A source that cannot be read whole leaves nothing behind.
  EXPECT_FALSE(files::copyTreeNoReplace(base + "/src/Missing.app", base + "/dst/Missing.app", &error));
  EXPECT_EQ(QDir(base + "/dst").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{"ZuvoEditor.app"});
}

TEST(InstallerSteps, DataFolderRemovalIsGuarded) {
  QString error;
  const QString home = QDir::homePath();
  EXPECT_FALSE(removeDataFolder(home, &error));
  EXPECT_FALSE(removeDataFolder("relative/ZuvoDocV30", &error));
  EXPECT_FALSE(removeDataFolder(home + "/Other", &error));
  EXPECT_TRUE(QFileInfo(home).isDir());

  // A symbolic link in its place goes; what it points at stays.
  const QString elsewhere = makeTempDir("elsewhere");
  ASSERT_TRUE(writeFile(elsewhere + "/keep", "k"));
  QDir().mkpath(paths::applicationSupportDirectory());
  ASSERT_TRUE(QFile::link(elsewhere, paths::dataFolder()));
  ASSERT_TRUE(removeDataFolder(paths::dataFolder(), &error)) << error.toStdString();
  EXPECT_FALSE(QFileInfo(paths::dataFolder()).exists() || QFileInfo(paths::dataFolder()).isSymLink());
  EXPECT_TRUE(QFileInfo::exists(elsewhere + "/keep"));

  // Inside the real folder a link is removed, not followed.
  QDir().mkpath(paths::dataFolder() + "/Logs");
  ASSERT_TRUE(QFile::link(elsewhere, paths::dataFolder() + "/Logs/link"));
  ASSERT_TRUE(removeDataFolder(paths::dataFolder(), &error)) << error.toStdString();
  EXPECT_FALSE(QFileInfo::exists(paths::dataFolder()));
  EXPECT_TRUE(QFileInfo::exists(elsewhere + "/keep"));
}

TEST(InstallerSteps, InstalledMeansEveryBundleThePayloadCarries) {
  const QString payload = makeTempDir("payload");
  for (const char* name : {"ZuvoLocalServer", "ZuvoEditor"}) QDir().mkpath(payload + "/" + name + ".app");
  EXPECT_FALSE(isInstalled(payload));
  QDir().mkpath(paths::bundlePath("ZuvoLocalServer"));
  EXPECT_FALSE(isInstalled(payload));
  QDir().mkpath(paths::bundlePath("ZuvoEditor"));
  EXPECT_TRUE(isInstalled(payload));  // no scanner or recorder in this payload
  QDir().mkpath(payload + "/ZuvoRecorder.app");
  EXPECT_FALSE(isInstalled(payload));
  QDir().mkpath(paths::bundlePath("ZuvoRecorder"));
  QDir().mkpath(payload + "/ZuvoHelper.app");  // the helper is not looked for
  EXPECT_TRUE(isInstalled(payload));
}

TEST(InstallerSteps, KeptArchivesAreOpenedOnlyWithinTheirFolder) {
  const QString base = makeTempDir("archives");
  const struct {
    const char* name;
    QStringList entries;
    bool opens;
  } cases[] = {
      {"plain", {"Brief_A1.docx", "sub/", "sub/notes.txt"}, true},
      {"climbs out", {"ok.txt", "../outside.txt"}, false},
      {"absolute", {"/tmp/absolute.txt"}, false},
      {"dot parts", {"sub/../../outside.txt"}, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QString archive = QString("%1/a%2.zip").arg(base).arg(n);
    const QString into = QString("%1/dir%2/a%2").arg(base).arg(n++);
    QString script = "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w')\n";
    for (const QString& e : c.entries) script += "z.writestr('" + e + "', '" + e + "')\n";
    ASSERT_EQ(runProgram("/usr/bin/python3", {"-c", script + "z.close()\n", archive}), 0);
    QString error;
    EXPECT_EQ(extractArchive(archive, "pw", into, &error), c.opens) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(base + "/outside.txt") || QFileInfo::exists(QFileInfo(into).path() + "/outside.txt"));
    if (c.opens) {
      EXPECT_EQ(readFile(into + "/sub/notes.txt"), "sub/notes.txt");
      struct stat st {};
      ASSERT_EQ(lstat(QFile::encodeName(into).constData(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
      // Opened again into the same folder: nothing is replaced.
      ASSERT_TRUE(writeFile(into + "/Brief_A1.docx", "the user's own"));
      EXPECT_FALSE(extractArchive(archive, "pw", into, &error));
      EXPECT_EQ(readFile(into + "/Brief_A1.docx"), "the user's own");
    }
  }
}

// The word processor's entry: the bridge opens and prints, found by the editor exactly while
// LibreOffice's start script is there; uninstallation takes only our own entry away.
TEST(InstallerSteps, WordProcessorEntryServesTheEditorWhileLibreOfficeIsInstalled) {
  namespace wp = zuvo::wordprocessor;
  const QString payload = makeTempDir("payload");
  StepLog log;
  writeWordProcessorEntry(payload, log);  // a payload without the bridge writes nothing
  EXPECT_FALSE(QFileInfo::exists(wordProcessorEntryPath()));

  QDir().mkpath(payload + "/ZuvoWriterBridge.app/Contents/MacOS");
  writeWordProcessorEntry(payload, log);
  EXPECT_EQ(log.failures(), 0);
  ASSERT_EQ(wp::detail::findDesktopEntry(wp::kDesktopEntryId), wordProcessorEntryPath());
  const auto entry = wp::detail::readDesktopEntry(wordProcessorEntryPath());
  ASSERT_TRUE(entry);
  const QString bridge = paths::bundleExecutable("ZuvoWriterBridge");
  EXPECT_EQ(wp::detail::commandLines(entry->exec, {"/d/a b.docx"}, *entry), (QList<QStringList>{{bridge, "/d/a b.docx"}}));
  EXPECT_EQ(wp::detail::commandLines(entry->actionExec.value("Print"), {"/d/1.docx", "/d/2.doc"}, *entry),
            (QList<QStringList>{{bridge, "--print", "/d/1.docx", "/d/2.doc"}}));
  EXPECT_TRUE(entry->actions.contains("Print"));
  EXPECT_EQ(entry->tryExec, "/usr/lib/libreoffice/program/soffice");
  EXPECT_EQ(wp::isInstalled(), QFileInfo(entry->tryExec).isExecutable());
  EXPECT_TRUE(readFile(wordProcessorEntryPath()).contains("\nNoDisplay=true\n"));
  QByteArray out, err;
  EXPECT_EQ(runProgram("desktop-file-validate", {wordProcessorEntryPath()}, &out, &err), 0) << out.toStdString();

  // Without LibreOffice the entry is there but not usable: the editor's 'not installed' road.
  auto missing = *entry;
  missing.tryExec = makeTempDir("nooffice") + "/soffice";
  EXPECT_FALSE(wp::detail::isUsable(missing));

  removeWordProcessorEntry(log);
  EXPECT_FALSE(QFileInfo::exists(wordProcessorEntryPath()));
  ASSERT_TRUE(writeFile(wordProcessorEntryPath(), "[Desktop Entry]\nType=Application\nName=Other\nExec=other %F\n"));
  removeWordProcessorEntry(log);
  EXPECT_TRUE(QFileInfo::exists(wordProcessorEntryPath()));
  writeWordProcessorEntry(payload, log);  // nor replaced by an installation
  EXPECT_EQ(readFile(wordProcessorEntryPath()), "[Desktop Entry]\nType=Application\nName=Other\nExec=other %F\n");
  EXPECT_EQ(log.failures(), 0);
}
