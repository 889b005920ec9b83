// The installer's window used as a user uses it (offscreen, in this process), in a home
// whose name holds blanks. Every case runs in a pid namespace of its own
// (in-own-pid-namespace), so the uninstaller can only reach this test's programs.
#include "platform/core/TestHooks.h"
#include "support/TestIdentity.h"
#include "Deployment.h"
#include "installer/AppDelegate.h"
#include "installer/InstallerLock.h"
#include "platform/desktop/DesktopEntry.h"
#include "platform/fs/FileTree.h"
#include "platform/net/Keychain.h"
#include "platform/desktop/LoginItemManager.h"
#include "platform/fs/Paths.h"
#include "platform/process/ProcessList.h"
#include "platform/process/ProgramLauncher.h"
#include "support/EditorProcess.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QJsonArray>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zuvo;
using namespace zuvo::installer;
using namespace zuvo::test;

namespace {

const QString kNamedProcess = QStringLiteral(ZUVO_NAMED_PROCESS);

// A home of its own with blanks in its name; the XDG folders follow it.
QString makeHome() {
  const QString home = testRoot() + "/home with blanks";
  QDir().mkpath(home);
  qputenv("HOME", QFile::encodeName(home));
  qunsetenv("XDG_DATA_HOME");
  qunsetenv("XDG_CONFIG_HOME");
  return home;
}

void makeExecutable(const QString& path) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  writeFile(path, "#!/bin/sh\nexit 0\n");
  QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

// The built payload, with stand-ins for the two programs this build does not make.
QString makePayload() {
  const QString payload = testRoot() + "/pay load/Resources";
  QDir().mkpath(QFileInfo(payload).absolutePath());
  QString error;
  EXPECT_TRUE(files::copyTreeNoReplace(ZUVO_INSTALLER_PAYLOAD, payload, &error)) << error.toStdString();
  for (const char* name : {"ZuvoRecorder", "ZuvoHelper"})
    if (!QFileInfo::exists(payload + "/" + name + ".app"))
      makeExecutable(payload + "/" + name + ".app/Contents/MacOS/" + name);
  return payload;
}

QPushButton* button(AppDelegate& d, const QString& text) {
  for (QPushButton* b : d.window()->findChildren<QPushButton*>())
    if (b->text() == text && b->isVisible()) return b;
  return nullptr;
}

QStringList visibleButtons(AppDelegate& d) {
  QStringList names;
  for (QPushButton* b : d.window()->findChildren<QPushButton*>())
    if (b->isVisible()) names << b->text();
  names.sort();
  return names;
}

QString message(AppDelegate& d) {
  auto* label = d.window()->findChild<QLabel*>("txtMessage");
  return label && label->isVisible() ? label->text() : QString();
}

// Presses the button and waits for the finished state.
void pressAndWait(AppDelegate& d, const QString& text) {
  QPushButton* b = button(d, text);
  ASSERT_TRUE(b) << text.toStdString() << " not offered; offered: " << visibleButtons(d).join(",").toStdString();
  ASSERT_TRUE(b->isEnabled());
  bool done = false;
  QObject::connect(&d, &AppDelegate::finished, [&] { done = true; });
  b->click();
  for (QPushButton* other : d.window()->findChildren<QPushButton*>()) EXPECT_FALSE(other->isEnabled());
  ASSERT_TRUE(waitUntil([&] { return done; }, std::chrono::seconds(120)));
  EXPECT_EQ(visibleButtons(d), QStringList{"Ok"});
  EXPECT_TRUE(button(d, "Ok")->isDefault());
}

QString canonicalExe(const QString& name) { return QFileInfo(paths::bundleExecutable(name)).canonicalFilePath(); }

// How many autostart entries start the program.
int entriesFor(const QString& exe) {
  int n = 0;
  QDir dir(LoginItemManager::autostartFolder());
  for (const QString& f : dir.entryList({"*.desktop"}, QDir::Files)) {
    const auto keys = desktop_entry::readDesktopEntry(dir.filePath(f));
    const auto args = keys ? desktop_entry::parseExec(keys->value("Exec")) : std::nullopt;
    if (args && QFileInfo(args->front()).canonicalFilePath() == exe) ++n;
  }
  return n;
}

void expectValidDesktopFile(const QString& file) {
  QByteArray out, err;
  EXPECT_EQ(runProgram("desktop-file-validate", {file}, &out, &err), 0) << file.toStdString() << out.toStdString();
  EXPECT_TRUE(out.isEmpty()) << out.toStdString();
}

ino_t inode(const QString& path) {
  struct stat st {};
  return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

const QString kUnrelated = "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/sh -c \"exit 0\"\n";

void addUnrelatedEntry() {
  QDir().mkpath(LoginItemManager::autostartFolder());
  writeFile(LoginItemManager::autostartFolder() + "/other.desktop", kUnrelated.toUtf8());
}

// What stderr receives while it lives.
class StderrCapture {
 public:
  StderrCapture() : path_(makeTempDir("stderr") + "/err") {
    fflush(stderr);
    saved_ = dup(2);
    const int fd = open(QFile::encodeName(path_).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  QString text() {
    restore();
    return QString::fromUtf8(readFile(path_));
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  QString path_;
  int saved_ = -1;
};

void install(const QString& payload) {
  AppDelegate d(payload);
  d.applicationDidFinishLaunching();
  pressAndWait(d, "Install");
}

// Refuses to run outside the test's own pid namespace, whose first process is tests/isolate.
class InstallerWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    const QByteArray init = readFile("/proc/1/cmdline");
    ASSERT_TRUE(init.contains("tests/isolate")) << "not in a pid namespace of its own: " << init.toStdString();
  }
};

}  // namespace

TEST_F(InstallerWindow, AnOldSystemGetsTheRequirementsAlertAndTheProgramEnds) {
  makeHome();
  const QString alerts = makeTempDir("alerts") + "/alerts.jsonl";
  zuvo::testhooks::setAlertLogFile(alerts);
  AppDelegate d(makePayload(), OperatingSystemVersion{10, 12});
  bool ended = false;
  QObject::connect(&d, &AppDelegate::terminateRequested, [&] { ended = true; });
  d.applicationDidFinishLaunching();
  EXPECT_TRUE(ended);
  const auto lines = readJsonLines(alerts);
  ASSERT_EQ(lines.size(), 1);
  EXPECT_EQ(lines[0]["message"].toString(), "General Requirements");
  EXPECT_EQ(lines[0]["informative"].toString(), "ZuvoDoc Plugin Version 3.0 requires macOS 10.13 or later.");
  EXPECT_FALSE(QFileInfo::exists(paths::dataFolder()));
}

TEST_F(InstallerWindow, InstallFromNothingThenAgainKeepsWhatIsThere) {
  const QString home = makeHome();
  const QString payload = makePayload();
  addUnrelatedEntry();
  {
    AppDelegate d(payload);
    bool ended = false;
    QObject::connect(&d, &AppDelegate::terminateRequested, [&] { ended = true; });
    d.applicationDidFinishLaunching();
    EXPECT_FALSE(ended);
    EXPECT_TRUE(QFileInfo(paths::dataFolder()).isDir());
    EXPECT_TRUE(paths::dataFolder().startsWith(home + "/.local/share/"));
    EXPECT_EQ(d.window()->findChild<QLabel*>("txtVersion")->text(), "Version 3.0");
    EXPECT_EQ(visibleButtons(d), (QStringList{"Cancel", "Install"}));
    EXPECT_TRUE(button(d, "Install")->isDefault());
    pressAndWait(d, "Install");
    EXPECT_EQ(message(d), "Installation finished.");
    button(d, "Ok")->click();
    EXPECT_TRUE(ended);
  }

  for (const char* name : {"ZuvoLocalServer", "ZuvoEditor", "ZuvoRecorder", "ZuvoHelper"})
    EXPECT_TRUE(QFileInfo(paths::bundleExecutable(name)).isExecutable()) << name;
  for (const char* name : {"ZuvoLocalServer", "ZuvoEditor"}) {
    EXPECT_EQ(entriesFor(canonicalExe(name)), 1) << name;
    expectValidDesktopFile(LoginItemManager::autostartFolder() + "/com.roza." + QString(name).toLower() + ".desktop");
    EXPECT_TRUE(waitUntil([&] { return isProgramRunning(paths::bundleExecutable(name)); }, std::chrono::seconds(30)))
        << name << " was not started";
  }
  EXPECT_EQ(readFile(LoginItemManager::autostartFolder() + "/other.desktop"), kUnrelated.toUtf8());

  // The helper's timer and service, accepted by systemd, and the timer's enable link.
  QByteArray out, err;
  EXPECT_EQ(runProgram("systemd-analyze", {"--user", "verify", helperTimerPath(), helperServicePath()}, &out, &err), 0)
      << err.toStdString();
  EXPECT_TRUE(err.isEmpty()) << err.toStdString();
  EXPECT_EQ(QFileInfo(helperTimerLinkPath()).canonicalFilePath(), QFileInfo(helperTimerPath()).canonicalFilePath());
  EXPECT_TRUE(helperServicePath().startsWith(home + "/.config/systemd/user/"));

  // The settings entry opens the scanner's settings from the DataFolder.
  EXPECT_TRUE(preferencePanePath().startsWith(home + "/.local/share/applications/"));
  expectValidDesktopFile(preferencePanePath());
  const auto pane = desktop_entry::readDesktopEntry(preferencePanePath());
  ASSERT_TRUE(pane);
  EXPECT_EQ(*desktop_entry::parseExec(pane->value("Exec")),
            (QStringList{paths::bundleExecutable("ZuvoScanner"), "ScanSettings"}));
  EXPECT_TRUE(pane->value("Categories").split(';').contains("Settings"));
  EXPECT_FALSE(QFileInfo::exists("/Users"));

  // Again, with the recorder gone: the others stay as they are, the recorder comes back.
  const ino_t server = inode(paths::bundlePath("ZuvoLocalServer"));
  const ino_t editor = inode(paths::bundleExecutable("ZuvoEditor"));
  ASSERT_TRUE(files::removeTree(paths::bundlePath("ZuvoRecorder")));
  {
    AppDelegate d(payload);
    d.applicationDidFinishLaunching();
    EXPECT_EQ(visibleButtons(d), (QStringList{"Cancel", "Install"}));
    pressAndWait(d, "Install");
    EXPECT_EQ(message(d), "Installation finished.");
  }
  EXPECT_EQ(inode(paths::bundlePath("ZuvoLocalServer")), server);
  EXPECT_EQ(inode(paths::bundleExecutable("ZuvoEditor")), editor);
  EXPECT_TRUE(QFileInfo(paths::bundleExecutable("ZuvoRecorder")).isExecutable());
  for (const char* name : {"ZuvoLocalServer", "ZuvoEditor"}) EXPECT_EQ(entriesFor(canonicalExe(name)), 1);
  EXPECT_EQ(QDir(LoginItemManager::autostartFolder()).entryList(QDir::Files | QDir::Hidden).size(), 3);
  EXPECT_EQ(readFile(LoginItemManager::autostartFolder() + "/other.desktop"), kUnrelated.toUtf8());

  // Now everything is there: the window offers Uninstall.
  AppDelegate d(payload);
  d.applicationDidFinishLaunching();
  EXPECT_EQ(visibleButtons(d), (QStringList{"Cancel", "Uninstall"}));
  EXPECT_TRUE(button(d, "Uninstall")->isDefault());
}

TEST_F(InstallerWindow, UninstallStopsOnlyOurProgramsAndRemovesEverything) {
  makeHome();
  const QString payload = makePayload();
  addUnrelatedEntry();
  install(payload);
  for (const char* name : {"ZuvoLocalServer", "ZuvoEditor"})
    ASSERT_TRUE(waitUntil([&] { return isProgramRunning(paths::bundleExecutable(name)); }, std::chrono::seconds(30)));

  // The server's certificate with its key.
  const QString host = QString::fromUtf8(deployment::kLocalServerHostName);
  ASSERT_TRUE(keychain::importPKCS12(makePKCS12(makeTestIdentity(host), "pw"), "pw"));
  ASSERT_TRUE(keychain::findCertificate(host));

  // A program started from a script in this test's own group, decoys with longer names,
  // and the editor of another user.
  const QString pidFile = makeTempDir("pids") + "/script";
  QProcess script;
  script.start("sh", {"-c", "\"$0\" ZuvoLocalServer & echo $! > \"$1\"; wait", kNamedProcess, pidFile});
  ASSERT_TRUE(script.waitForStarted());
  ASSERT_TRUE(waitUntil([&] { return readFile(pidFile).trimmed().toInt() > 0; }));
  const pid_t scripted = pid_t(readFile(pidFile).trimmed().toInt());
  QProcess sync, tests;
  sync.start(kNamedProcess, {"zuvoeditor-sync"});
  tests.start(kNamedProcess, {"ZuvoScannerTests"});
  // The other user needs a program it may run: a copy outside the private test folders.
  char shared[] = "/tmp/zuvo-installer-XXXXXX";
  ASSERT_TRUE(mkdtemp(shared));
  chmod(shared, 0755);
  const QString otherCopy = QString(shared) + "/named";
  ASSERT_TRUE(QFile::copy(kNamedProcess, otherCopy));
  QFile::setPermissions(otherCopy, QFile::permissions(otherCopy) | QFile::ExeOther | QFile::ReadOther);
  QProcess other;
  other.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", otherCopy, "ZuvoEditor"});
  ASSERT_TRUE(sync.waitForStarted() && tests.waitForStarted() && other.waitForStarted());
  auto named = [](const QProcess& p, const QString& name) {
    return readFile(QString("/proc/%1/comm").arg(p.processId())).trimmed() == name.left(15).toUtf8();
  };
  ASSERT_TRUE(waitUntil([&] {
    return named(sync, "zuvoeditor-sync") && named(tests, "ZuvoScannerTests") && named(other, "ZuvoEditor");
  }));

  {
    AppDelegate d(payload);
    d.applicationDidFinishLaunching();
    EXPECT_EQ(visibleButtons(d), (QStringList{"Cancel", "Uninstall"}));
    pressAndWait(d, "Uninstall");
    EXPECT_EQ(message(d), "Uninstallation finished.");
  }

  // Ours have ended (the uninstaller waited for them); the rest run on.
  EXPECT_TRUE(processEnded(scripted));
  for (const ProcessRecord& p : processList()) {
    if ((p.processName == "ZuvoLocalServer" || p.processName == "ZuvoEditor") && p.userID == geteuid()) {
      EXPECT_TRUE(processEnded(p.processID)) << p.processName.toStdString() << " " << p.processID;
    }
  }
  EXPECT_EQ(sync.state(), QProcess::Running);
  EXPECT_EQ(tests.state(), QProcess::Running);
  EXPECT_EQ(other.state(), QProcess::Running);
  EXPECT_FALSE(processEnded(pid_t(other.processId())));

  EXPECT_FALSE(QFileInfo::exists(paths::dataFolder()));
  EXPECT_EQ(QDir(LoginItemManager::autostartFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{"other.desktop"});
  EXPECT_EQ(readFile(LoginItemManager::autostartFolder() + "/other.desktop"), kUnrelated.toUtf8());
  for (const QString& f : {helperServicePath(), helperTimerPath(), helperTimerLinkPath(), preferencePanePath()})
    EXPECT_FALSE(QFileInfo::exists(f) || QFileInfo(f).isSymLink()) << f.toStdString();
  EXPECT_FALSE(keychain::findCertificate(host));
  // Only the certificate goes; its private key stays.
  EXPECT_EQ(QDir(keychain::defaultKeychainPath()).entryList({"*.key"}, QDir::Files).size(), 1);

  // The next start offers Install again.
  AppDelegate again(payload);
  again.applicationDidFinishLaunching();
  EXPECT_EQ(visibleButtons(again), (QStringList{"Cancel", "Install"}));

  for (QProcess* p : {&sync, &tests, &other}) {
    p->kill();
    p->waitForFinished();
  }
  files::removeTree(shared);
}

TEST_F(InstallerWindow, UninstallWithNothingPresentFinishesWithoutErrors) {
  makeHome();
  // Only the bundles, so that the window offers Uninstall.
  const QString payload = makePayload();
  for (const char* name : {"ZuvoLocalServer", "ZuvoEditor", "ZuvoScanner", "ZuvoRecorder"})
    QDir().mkpath(paths::bundlePath(name));
  StderrCapture err;
  {
    AppDelegate d(payload);
    d.applicationDidFinishLaunching();
    pressAndWait(d, "Uninstall");
    EXPECT_EQ(message(d), "Uninstallation finished.");
  }
  // Nothing but the offscreen platform's own notices.
  QStringList lines = err.text().split('\n', Qt::SkipEmptyParts);
  lines.removeIf([](const QString& l) { return l.contains("propagateSizeHints"); });
  EXPECT_TRUE(lines.isEmpty()) << lines.join("\n").toStdString();
  EXPECT_FALSE(QFileInfo::exists(paths::dataFolder()));
}

TEST_F(InstallerWindow, AFailedStepIsShownAsSuch) {
  const QString home = makeHome();
  // A file where the launch agent's folder must be made.
  QDir().mkpath(home + "/.config");
  ASSERT_TRUE(writeFile(home + "/.config/systemd", "not a folder"));
  StderrCapture err;
  {
    AppDelegate d(makePayload());
    d.applicationDidFinishLaunching();
    pressAndWait(d, "Install");
    EXPECT_EQ(message(d), "Installation finished.\nSome steps failed; see the system log.");
  }
  EXPECT_TRUE(err.text().contains("Error occurred while creating user ZuvoHelper launch agents file")) << err.text().toStdString();
  EXPECT_EQ(readFile(home + "/.config/systemd"), "not a folder");
  // The other steps ran all the same.
  EXPECT_TRUE(QFileInfo::exists(preferencePanePath()));
  EXPECT_EQ(entriesFor(canonicalExe("ZuvoEditor")), 1);
}

TEST_F(InstallerWindow, CancelEndsTheProgramAndLeavesTheDataFolderRoot) {
  makeHome();
  AppDelegate d(makePayload());
  bool ended = false;
  QObject::connect(&d, &AppDelegate::terminateRequested, [&] { ended = true; });
  d.applicationDidFinishLaunching();
  ASSERT_TRUE(button(d, "Cancel"));
  button(d, "Cancel")->click();
  EXPECT_TRUE(ended);
  EXPECT_TRUE(QFileInfo(paths::dataFolder()).isDir());
  EXPECT_TRUE(QDir(paths::dataFolder()).isEmpty());
}

namespace {

// The editor the installation started, once it takes notifications.
qint64 installedEditor() {
  qint64 pid = 0;
  waitUntil([&] {
    for (const ProcessRecord& p : processList())
      if (p.processName == "ZuvoEditor" && p.userID == geteuid() && receivesNotifications(p.processID))
        pid = p.processID;
    return pid != 0;
  }, std::chrono::seconds(30));
  return pid;
}

int uploadsOf(const FakeDocumentServer& server, const QByteArray& name) {
  int n = 0;
  for (const auto& r : server.requestsTo("/plugin/upload.php"))
    if (r.body.contains("filename=\"" + name + "\"")) ++n;
  return n;
}

mode_t modeOf(const QString& path) {
  struct stat st {};
  return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

// The real editor holds three letters against a server that refuses every upload: one open
// with an unsent edit, one closed with an unsent edit (only its backup has it), one closed
// unchanged. Uninstalling asks the editor to send what it can, tells the user which letters
// hold changes the server never accepted, and by default keeps exactly those.
// A killed editor leaves the open letter's folder behind: it is found all the same.
struct UnsentCase {
  const char* name;
  bool keep;
  bool editorKilled;
};
class UninstallWithUnsentLetters : public InstallerWindow, public ::testing::WithParamInterface<UnsentCase> {};

TEST_P(UninstallWithUnsentLetters, KeepsThemUnlessTheUserDeletesThem) {
  const bool keep = GetParam().keep;
  const bool killed = GetParam().editorKilled;
  const QString home = makeHome();
  const QString payload = makePayload();
  qputenv("ZUVO_ALERT_LOG", QFile::encodeName(makeTempDir("editor-alerts") + "/alerts.jsonl"));
  qputenv("XDG_DATA_DIRS", QFile::encodeName(makeTempDir("no-apps")));
  const QString installerAlerts = makeTempDir("alerts") + "/alerts.jsonl";
  testhooks::setAlertLogFile(installerAlerts);
  testhooks::setAlertAnswer(keep ? QString() : QStringLiteral("Delete"));

  FakeWordProcessor word({.lock = "office"});
  FakeDocumentServer server;
  const QStringList names = {"Brief_AAA111.docx", "Brief_BBB222.docx", "Brief_CCC333.docx"};
  for (const QString& name : names) server.route("GET /docs/" + name, FakeReply{.body = "as sent: " + name.toUtf8()});
  server.route("POST /plugin/upload.php", FakeReply{.status = 500});
  ASSERT_TRUE(word.start());
  ASSERT_TRUE(server.start());
  install(payload);
  const qint64 editor = installedEditor();
  ASSERT_GT(editor, 0);

  const QString documents = paths::dataFolder() + "/Data/ZuvoEditor/Documents/";
  auto file = [&](int i) { return documents + names[i].mid(6, 6) + "/" + names[i]; };
  for (const QString& name : names)
    EditorProcess::post({{"action", "DownloadDoc"}, {"download_url", server.url("/docs/" + name)},
                         {"upload_url", server.url("/")}, {"is_new_doc", "1"}});
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(waitUntil([&] { return word.documents().contains(file(i)); }, std::chrono::seconds(30))) << i;
  // Later than the copy as downloaded, whatever the file system's clock granularity.
  spin(std::chrono::milliseconds(20));
  ASSERT_TRUE(writeFile(file(0), "the only copy of A's edit"));
  ASSERT_TRUE(writeFile(file(1), "the only copy of B's edit"));
  ASSERT_TRUE(waitUntil([&] { return uploadsOf(server, names[0].toUtf8()) >= 1 && uploadsOf(server, names[1].toUtf8()) >= 1; },
                        std::chrono::seconds(30)));
  for (int i : {1, 2}) {
    ASSERT_TRUE(word.close(file(i)));
    ASSERT_TRUE(waitUntil([&] { return !QFileInfo::exists(QFileInfo(file(i)).path()); }, std::chrono::seconds(30))) << i;
  }
  const int triedBefore = uploadsOf(server, names[0].toUtf8());
  if (killed) {
    ::kill(pid_t(editor), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return processEnded(pid_t(editor)); }));
  }

  QString finished;
  {
    AppDelegate d(payload);
    d.applicationDidFinishLaunching();
    pressAndWait(d, "Uninstall");
    finished = message(d);
  }
  // The editor was asked to send the open letter's save once more before it was stopped.
  if (!killed) {
    EXPECT_GT(uploadsOf(server, names[0].toUtf8()), triedBefore);
  }
  EXPECT_TRUE(processEnded(pid_t(editor)));
  EXPECT_FALSE(QFileInfo::exists(paths::dataFolder()));

  const auto alerts = readJsonLines(installerAlerts);
  ASSERT_EQ(alerts.size(), 1);
  EXPECT_EQ(alerts[0]["message"].toString(),
            "These letters hold changes the server never accepted: Brief_AAA111.docx, Brief_BBB222.docx.");
  EXPECT_EQ(alerts[0]["buttons"].toArray().toVariantList(), (QVariantList{"Keep", "Delete"}));

  const QString base = home + "/ZuvoDoc unsent letters";
  const QStringList made = QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  if (!keep) {
    EXPECT_EQ(finished, "Uninstallation finished.");
    EXPECT_TRUE(made.isEmpty());
    return;
  }
  ASSERT_EQ(made.size(), 1);
  const QString kept = base + "/" + made[0];
  EXPECT_TRUE(alerts[0]["informative"].toString().contains(kept));
  EXPECT_EQ(finished, "Uninstallation finished.\nLetters with changes the server never accepted are kept in " + kept +
                          ": Brief_AAA111.docx, Brief_BBB222.docx.");
  EXPECT_EQ(modeOf(base), 0700u);
  EXPECT_EQ(modeOf(kept), 0700u);
  EXPECT_EQ(QDir(kept).entryList(QDir::Files), (QStringList{"BBB222.zip", "Brief_AAA111.docx"}));
  EXPECT_EQ(readFile(kept + "/Brief_AAA111.docx"), "the only copy of A's edit");
  EXPECT_EQ(modeOf(kept + "/Brief_AAA111.docx"), 0600u);
  // The backup as it was, and its letter opened beside it.
  QByteArray b;
  EXPECT_EQ(runProgram("7z", {"x", "-so", "-pKavrel902476", kept + "/BBB222.zip", names[1]}, &b), 0);
  EXPECT_EQ(b, "the only copy of B's edit");
  EXPECT_EQ(readFile(kept + "/BBB222/" + names[1]), "the only copy of B's edit");
  EXPECT_EQ(modeOf(kept + "/BBB222"), 0700u);
  EXPECT_EQ(modeOf(kept + "/BBB222/" + names[1]), 0600u);
}

INSTANTIATE_TEST_SUITE_P(Installer, UninstallWithUnsentLetters,
                         ::testing::Values(UnsentCase{"Kept", true, false}, UnsentCase{"DeletedByChoice", false, false},
                                           UnsentCase{"KeptAfterTheEditorWasKilled", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

bool present(const QString& path) { return inode(path) != 0; }

QList<pid_t> pidsNamed(const QString& name) {
  QList<pid_t> pids;
  for (const ProcessRecord& p : processList())
    if (p.processName == name && p.userID == geteuid() && !processEnded(p.processID)) pids << p.processID;
  std::sort(pids.begin(), pids.end());
  return pids;
}

int runningNamed(const QString& name) { return int(pidsNamed(name).size()); }

}  // namespace

TEST_F(InstallerWindow, OnlyOneInstallerAtATime) {
  makeHome();
  const QString payload = makePayload();
  const QString alerts = makeTempDir("alerts") + "/alerts.jsonl";
  testhooks::setAlertLogFile(alerts);
  auto toldBusy = [&](int n) {
    const auto lines = readJsonLines(alerts);
    return lines.size() == n && lines.back()["message"].toString() == "Another installer is running.";
  };

  // Another installer's process holds the lock.
  QProcess holder;
  // -o: the lock stays with flock itself, so that it goes when flock is killed.
  holder.start("flock", {"-o", installerLockPath(), "sleep", "120"});
  ASSERT_TRUE(holder.waitForStarted());
  ASSERT_TRUE(waitUntil([] {
    std::unique_ptr<InstallerLock> probe;
    return InstallerLock::take(&probe) == InstallerLock::Result::Busy;
  }));
  {
    AppDelegate d(payload);
    d.applicationDidFinishLaunching();
    button(d, "Install")->click();
    EXPECT_TRUE(toldBusy(1));
    EXPECT_FALSE(d.isBusy());
    EXPECT_EQ(visibleButtons(d), (QStringList{"Cancel", "Install"}));
    EXPECT_TRUE(button(d, "Install")->isEnabled());
    EXPECT_FALSE(QFileInfo::exists(paths::bundlePath("ZuvoEditor")));
  }
  holder.kill();
  holder.waitForFinished();

  // Two windows pressing Install at once: one installs, the other is told and can try later.
  AppDelegate first(payload), second(payload);
  first.applicationDidFinishLaunching();
  second.applicationDidFinishLaunching();
  bool done = false;
  QObject::connect(&first, &AppDelegate::finished, [&] { done = true; });
  button(first, "Install")->click();
  button(second, "Install")->click();
  EXPECT_TRUE(toldBusy(2));
  ASSERT_TRUE(waitUntil([&] { return done; }, std::chrono::seconds(120)));
  EXPECT_EQ(message(first), "Installation finished.");
  EXPECT_EQ(visibleButtons(second), (QStringList{"Cancel", "Install"}));
  for (const char* name : {"ZuvoLocalServer", "ZuvoEditor"})
    ASSERT_TRUE(waitUntil([&] { return runningNamed(name) == 1; }, std::chrono::seconds(30))) << name;

  // Once the first is done, the second installs over it without starting the programs again:
  // the same processes run on (a copy started and ended again in the 2 s is not seen).
  const QList<pid_t> server = pidsNamed("ZuvoLocalServer"), editor = pidsNamed("ZuvoEditor");
  pressAndWait(second, "Install");
  EXPECT_EQ(message(second), "Installation finished.");
  spin(std::chrono::seconds(2));
  for (const char* name : {"ZuvoLocalServer", "ZuvoEditor"}) EXPECT_EQ(runningNamed(name), 1) << name;
  EXPECT_EQ(pidsNamed("ZuvoLocalServer"), server);
  EXPECT_EQ(pidsNamed("ZuvoEditor"), editor);
}

// Links are refused, never followed: a payload program that points out of its bundle, and a
// DataFolder that is a link to a folder of the user's.
TEST_F(InstallerWindow, LinksAreRefusedNotFollowed) {
  const QString home = makeHome();
  const QString payload = makePayload();
  {
    const QString program = payload + "/ZuvoEditor.app/Contents/MacOS/ZuvoEditor";
    ASSERT_TRUE(QFile::remove(program));
    ASSERT_TRUE(QFile::link("/bin/true", program));
    StderrCapture err;
    AppDelegate d(payload);
    d.applicationDidFinishLaunching();
    pressAndWait(d, "Install");
    EXPECT_EQ(message(d), "Installation finished.\nSome steps failed; see the system log.");
    EXPECT_TRUE(err.text().contains("ZuvoEditor is not installed: " + program + " is a symbolic link"))
        << err.text().toStdString();
    EXPECT_FALSE(present(paths::bundlePath("ZuvoEditor")));
    EXPECT_TRUE(QFileInfo(paths::bundleExecutable("ZuvoLocalServer")).isExecutable());
  }
  // The programs that installation started would go on writing their logs into whatever
  // the DataFolder's name leads to.
  ASSERT_TRUE(waitUntil([] { return runningNamed("ZuvoLocalServer") == 1; }, std::chrono::seconds(30)));
  for (const ProcessRecord& p : processList())
    if (p.processName == "ZuvoLocalServer" || p.processName == "ZuvoEditor") {
      ::kill(p.processID, SIGKILL);
      EXPECT_TRUE(waitUntil([&] { return processEnded(p.processID); }));
    }
  ASSERT_TRUE(files::removeTree(paths::dataFolder()));
  ASSERT_TRUE(files::removeTree(LoginItemManager::autostartFolder()));

  // The user's own folder behind the DataFolder's name: nothing is written into it, and
  // what a faulty earlier installation put there stays at uninstallation.
  const QString mine = home + "/my folder";
  QDir().mkpath(mine);
  ASSERT_TRUE(QFile::link(mine, paths::dataFolder()));
  const QString failure = paths::dataFolder() + " is a symbolic link to " + mine + "; it is not followed";
  for (const char* action : {"Install", "Uninstall"}) {
    SCOPED_TRACE(action);
    if (QString(action) == "Uninstall")
      for (const char* name : {"ZuvoLocalServer", "ZuvoEditor", "ZuvoScanner", "ZuvoRecorder"})
        makeExecutable(mine + "/" + name + ".app/Contents/MacOS/" + name);
    const QStringList before = QDir(mine).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    StderrCapture err;
    {
      AppDelegate d(payload);
      d.applicationDidFinishLaunching();
      pressAndWait(d, action);
      EXPECT_EQ(message(d), QString(action) + "ation finished.\nSome steps failed; see the system log.");
    }
    EXPECT_TRUE(err.text().contains(failure)) << err.text().toStdString();
    EXPECT_EQ(QDir(mine).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
    // Nothing started from it at login.
    EXPECT_TRUE(QDir(LoginItemManager::autostartFolder()).entryList(QDir::Files).isEmpty());
  }
  // Only the link itself went.
  EXPECT_FALSE(present(paths::dataFolder()));
}
