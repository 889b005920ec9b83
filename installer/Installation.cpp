#include "installer/Installation.h"

#include "Deployment.h"
#include "common/LetterState.h"
#include "installer/KeptLetters.h"
#include "platform/fs/Files.h"
#include "platform/desktop/DesktopEntry.h"
#include "platform/fs/FileTree.h"
#include "platform/net/Keychain.h"
#include "platform/desktop/LoginItemManager.h"
#include "platform/fs/Paths.h"
#include "platform/process/ProgramLauncher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zuvo::installer {
namespace {

QString systemdUserFolder() { return paths::configHomeDirectory() + QStringLiteral("/systemd/user"); }

const QString kPaneTemplate = QStringLiteral("ZuvoDocPlugin.desktop");

bool exists(const QString& path) {
  struct stat st {};
  return lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool removeIfPresent(const QString& path, StepLog& log) {
  if (!exists(path)) return true;
  QString error;
  if (files::removeTree(path, &error)) return true;
  log.fail(error);
  return false;
}

bool makeFolder(const QString& path, StepLog& log) {
  if (QDir().mkpath(path) && QFileInfo(path).isDir()) return true;
  log.fail(QStringLiteral("Could not create the folder %1").arg(path));
  return false;
}

// A symbolic link in the tree (the tree itself too); empty when there is none.
QString linkIn(const QString& tree) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path root = QFile::encodeName(tree).toStdString();
  if (fs::is_symlink(fs::symlink_status(root, ec))) return tree;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_symlink(ec)) return QFile::decodeName(QByteArray::fromStdString(it->path().string()));
  return {};
}

// A bundle whose program (or anything in it) is a link would be installed as a link to
// whatever it points at, outside the bundle: it is refused instead.
bool payloadBundleRefused(const QString& name, const QString& source, StepLog& log) {
  const QString link = linkIn(source);
  if (link.isEmpty()) return false;
  log.fail(QStringLiteral("%1 is not installed: %2 is a symbolic link").arg(name, link));
  return true;
}

void copyBundles(const QString& payload, StepLog& log) {
  for (const QString& name : kCopyOrder) {
    const QString source = payload + QLatin1Char('/') + name + QStringLiteral(".app");
    const QString destination = paths::bundlePath(name);
    if (!QFileInfo(source).isDir() && !QFileInfo(source).isSymLink()) {
      logInstallerError(QStringLiteral("%1.app is not in the installer; skipped").arg(name));
      continue;
    }
    if (payloadBundleRefused(name, source, log)) continue;
    if (exists(destination)) {
      logInstallerError(QStringLiteral("%1 exists already; kept").arg(destination));
      continue;
    }
    QString error;
    if (!files::copyTreeNoReplace(source, destination, &error)) log.fail(error);
  }
}

void registerLoginItems(StepLog& log) {
  LoginItemManager manager;
  for (const QString& name : {QStringLiteral("ZuvoLocalServer"), QStringLiteral("ZuvoEditor")}) {
    QString error;
    if (!manager.setLaunchAtLogin(true, paths::bundlePath(name), &error)) log.fail(error);
  }
}

void unregisterLoginItems(StepLog& log) {
  LoginItemManager manager;
  for (const QString& name : {QStringLiteral("ZuvoLocalServer"), QStringLiteral("ZuvoEditor")}) {
    QString error;
    if (!manager.setLaunchAtLogin(false, paths::bundlePath(name), &error)) log.fail(error);
  }
}

void startPrograms(StepLog& log) {
  for (const QString& name : {QStringLiteral("ZuvoLocalServer"), QStringLiteral("ZuvoEditor")}) {
    QString error;
    if (!launchApplication(paths::bundlePath(name), {}, &error)) log.fail(error);
  }
}

// The timer link points at the timer beside it, as an enable would make it.
bool writeTimerLink(QString* error) {
  const QString link = helperTimerLinkPath();
  const QString partial = link + QStringLiteral(".partial");
  QFile::remove(partial);
  const QByteArray target = "../com.roza.zuvohelper.timer";
  if (::symlink(target.constData(), QFile::encodeName(partial).constData()) != 0 ||
      ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(link).constData()) != 0) {
    *error = QStringLiteral("Could not link %1: %2").arg(link, files::errnoText(errno));
    QFile::remove(partial);
    return false;
  }
  return true;
}

void writeLaunchAgent(StepLog& log) {
  const QString helper = paths::bundleExecutable(QStringLiteral("ZuvoHelper"));
  QString error;
  const bool ok = QDir().mkpath(QFileInfo(helperTimerLinkPath()).absolutePath()) &&
                  files::writeFileAtomically(helperServicePath(), helperServiceUnit(helper).toUtf8(), &error) &&
                  files::writeFileAtomically(helperTimerPath(), helperTimerUnit().toUtf8(), &error) &&
                  writeTimerLink(&error);
  if (!ok) {
    if (!error.isEmpty()) logInstallerError(error);
    log.fail(QStringLiteral("Error occurred while creating user ZuvoHelper launch agents file"));
  }
}

void writePreferencePane(const QString& payload, StepLog& log) {
  const QString pane = preferencePanePath();
  if (!removeIfPresent(pane, log)) return;
  QFile templ(payload + QLatin1Char('/') + kPaneTemplate);
  if (!templ.open(QIODevice::ReadOnly)) {
    log.fail(QStringLiteral("Could not read %1: %2").arg(templ.fileName(), templ.errorString()));
    return;
  }
  const QString scanner = desktop_entry::quoteExecArgument(paths::bundleExecutable(QStringLiteral("ZuvoScanner")));
  const QByteArray content = QString::fromUtf8(templ.readAll()).replace(QStringLiteral("@SCANNER@"), scanner).toUtf8();
  QString error;
  if (!makeFolder(QFileInfo(pane).absolutePath(), log)) return;
  if (!files::writeFileAtomically(pane, content, &error)) log.fail(error);
}

const QString kOfficeProgram = QStringLiteral("/usr/lib/libreoffice/program/soffice");

void deleteCertificate(StepLog& log) {
  const QString label = QString::fromUtf8(deployment::kLocalServerHostName);
  if (const auto certificate = keychain::findCertificate(label)) {
    if (!keychain::deleteItem(certificate->itemId))
      log.fail(QStringLiteral("Could not delete the certificate %1 from the keychain").arg(label));
  }
}

// The DataFolder is a link (to a folder of the user's, say): nothing is written or removed
// through it.
bool dataFolderIsLink(StepLog& log) {
  const QString data = paths::dataFolder();
  if (!QFileInfo(data).isSymLink()) return false;
  log.fail(QStringLiteral("%1 is a symbolic link to %2; it is not followed")
               .arg(data, QFileInfo(data).symLinkTarget()));
  return true;
}

// The editor sends what the server does not have yet and records its letters' state; it
// answers when done, or after its own bound.
void askEditorToFinish(const UninstallOptions& options) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString service = QStringLiteral("com.roza.zuvoeditor");
  if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service)) return;
  const QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/com/roza/zuvoeditor"),
                                                           QStringLiteral("com.roza.EditorSession"),
                                                           QStringLiteral("Finish"));
  const QDBusMessage reply = bus.call(call, QDBus::Block, int(options.waitForEditor.count()));
  // Not a failed step: what the server does not have is found on disk all the same.
  if (reply.type() != QDBusMessage::ReplyMessage)
    logInstallerError(QStringLiteral("The editor did not finish its uploads: %1").arg(reply.errorMessage()));
}

// Letters whose changes the server never accepted leave the DataFolder only by the user's
// choice; by default they are kept outside it. False when one could not be kept: the
// DataFolder must then stay.
bool keepUnsentLetters(const UninstallOptions& options, StepLog& log, UninstallReport* report) {
  const std::vector<letters::Unsent> unsent = letters::unsentLetters(paths::dataFolder() + QStringLiteral("/Data/ZuvoEditor"));
  if (unsent.empty()) return true;
  QStringList names;
  for (const letters::Unsent& u : unsent)
    if (!names.contains(u.name)) names << u.name;
  const QString folder = keptLettersFolder();
  if (options.keepLetters && !options.keepLetters(names, folder)) {
    logInstallerError(QStringLiteral("Removed at the user's choice, with changes the server never accepted: %1")
                          .arg(names.join(QStringLiteral(", "))));
    return true;
  }
  report->keptFolder = folder;
  report->keptLetters = names;
  return keepLetters(unsent, folder, log);
}

void stopPrograms(const UninstallOptions& options, StepLog& log) {
  const auto chosen = chooseProcesses(processList(options.procRoot), geteuid(), getpid(), getpgrp());
  std::vector<pid_t> signalled;
  for (const ProcessToStop& p : chosen) {
    const int rc = p.wholeGroup ? ::killpg(p.pid, SIGTERM) : ::kill(p.pid, SIGTERM);
    if (rc == 0) signalled.push_back(p.pid);
    else if (errno != ESRCH)
      log.fail(QStringLiteral("Could not stop process %1: %2").arg(p.pid).arg(files::errnoText(errno)));
  }
  // An ending program still writes its logs: its files go only after it has gone.
  const auto deadline = std::chrono::steady_clock::now() + options.waitForPrograms;
  for (;;) {
    std::erase_if(signalled, [&](pid_t pid) { return processEnded(pid, options.procRoot); });
    if (signalled.empty()) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      for (pid_t pid : signalled) log.fail(QStringLiteral("Process %1 did not end").arg(pid));
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

bool operatingSystemSupported(int major, int minor) { return !(major == 10 && minor < 13); }

QString payloadDirectory() {
  char resolved[PATH_MAX];
  if (!realpath("/proc/self/exe", resolved)) return {};
  return QDir::cleanPath(QFileInfo(QFile::decodeName(resolved)).absolutePath() + QStringLiteral("/../Resources"));
}

QString helperServicePath() { return systemdUserFolder() + QStringLiteral("/com.roza.zuvohelper.service"); }
QString helperTimerPath() { return systemdUserFolder() + QStringLiteral("/com.roza.zuvohelper.timer"); }
QString helperTimerLinkPath() {
  return systemdUserFolder() + QStringLiteral("/timers.target.wants/com.roza.zuvohelper.timer");
}
QString preferencePanePath() {
  return paths::applicationSupportDirectory() + QStringLiteral("/applications/ZuvoDocPlugin.desktop");
}

QString wordProcessorEntryPath() {
  return paths::applicationSupportDirectory() + QStringLiteral("/applications/com.microsoft.Word.desktop");
}

QString wordProcessorEntry(const QString& bridgeExecutable, const QString& officeProgram) {
  const QString bridge = desktop_entry::quoteExecArgument(bridgeExecutable);
  return QStringLiteral(
             "[Desktop Entry]\nType=Application\nName=ZuvoDoc letters in LibreOffice Writer\n"
             "Comment=Opens, fills and prints the ZuvoDoc editor's letters in LibreOffice Writer\n"
             "Exec=%1 %F\nTryExec=%2\nNoDisplay=true\nTerminal=false\nActions=Print;\n\n"
             "[Desktop Action Print]\nName=Print\nExec=%1 --print %F\n")
      .arg(bridge, officeProgram);
}

// Another word processor's entry under this ID is the user's, not ours: never replaced or removed.
static bool isOurWordProcessorEntry(const QString& entry) {
  QFile f(entry);
  return f.open(QIODevice::ReadOnly) && f.readAll().contains("ZuvoWriterBridge");
}

void writeWordProcessorEntry(const QString& payload, StepLog& log) {
  if (!QFileInfo(payload + QStringLiteral("/ZuvoWriterBridge.app")).isDir()) return;
  const QString entry = wordProcessorEntryPath();
  if (!makeFolder(QFileInfo(entry).absolutePath(), log)) return;
  if (QFileInfo::exists(entry) && !isOurWordProcessorEntry(entry)) return;  // the user's own choice
  QString error;
  const QByteArray content =
      wordProcessorEntry(paths::bundleExecutable(QStringLiteral("ZuvoWriterBridge")), kOfficeProgram).toUtf8();
  if (!files::writeFileAtomically(entry, content, &error)) log.fail(error);
}

void removeWordProcessorEntry(StepLog& log) {
  const QString entry = wordProcessorEntryPath();
  if (isOurWordProcessorEntry(entry)) removeIfPresent(entry, log);
}

QString systemdQuote(const QString& argument) {
  QString out = QStringLiteral("\"");
  for (const QChar c : argument) {
    switch (c.unicode()) {
      case '\\': out += QStringLiteral("\\\\"); break;
      case '"': out += QStringLiteral("\\\""); break;
      case '\n': out += QStringLiteral("\\n"); break;
      case '\t': out += QStringLiteral("\\t"); break;
      case '\r': out += QStringLiteral("\\r"); break;
      case '%': out += QStringLiteral("%%"); break;
      case '$': out += QStringLiteral("$$"); break;
      default: out += c; break;
    }
  }
  return out + QLatin1Char('"');
}

QString helperServiceUnit(const QString& helperExecutable) {
  // systemd takes the program's own path literally (no "$" expansion) and refuses one that
  // holds a backslash, a quote or a control character; such a path is handed to env as an
  // argument instead, where every character can be escaped.
  bool plain = true;
  for (const QChar c : helperExecutable)
    if (c < QLatin1Char(' ') || c == QChar(0x7f) || c == QLatin1Char('\\') || c == QLatin1Char('"') ||
        c == QLatin1Char('\''))
      plain = false;
  QString exec;
  if (plain) {
    QString path = helperExecutable;
    exec = QLatin1Char('"') + path.replace(QLatin1Char('%'), QStringLiteral("%%")) + QLatin1Char('"');
  } else {
    exec = QStringLiteral("/usr/bin/env ") + systemdQuote(helperExecutable);
  }
  return QStringLiteral(
             "[Unit]\nDescription=ZuvoDoc plug-in helper\n\n"
             "[Service]\nType=oneshot\nExecStart=%1\n")
      .arg(exec);
}

QString helperTimerUnit() {
  return QStringLiteral(
      "[Unit]\nDescription=ZuvoDoc plug-in helper, Mondays at 11:00\n\n"
      "[Timer]\nOnCalendar=Mon *-*-* 11:00:00\nUnit=com.roza.zuvohelper.service\n\n"
      "[Install]\nWantedBy=timers.target\n");
}

bool isInstalled(const QString& payload) {
  for (const QString& name : {QStringLiteral("ZuvoLocalServer"), QStringLiteral("ZuvoScanner"),
                              QStringLiteral("ZuvoEditor"), QStringLiteral("ZuvoRecorder")}) {
    if (QFileInfo(payload + QLatin1Char('/') + name + QStringLiteral(".app")).isDir() &&
        !QFileInfo(paths::bundlePath(name)).isDir())
      return false;
  }
  return true;
}

void install(const QString& payload, StepLog& log) {
  if (dataFolderIsLink(log)) return;
  copyBundles(payload, log);
  registerLoginItems(log);
  startPrograms(log);
  writeLaunchAgent(log);
  writePreferencePane(payload, log);
  writeWordProcessorEntry(payload, log);
}

std::vector<ProcessToStop> chooseProcesses(const std::vector<ProcessRecord>& processes, uid_t user,
                                           pid_t ownPid, pid_t ownGroup) {
  std::vector<ProcessToStop> chosen;
  for (const ProcessRecord& p : processes) {
    if (!kProgramNames.contains(p.processName) || !p.userID || *p.userID != user || p.processID == ownPid)
      continue;
    // A program started from a script shares the script's group: only the program goes.
    chosen.push_back({p.processID, p.processGroup == p.processID && p.processGroup != ownGroup});
  }
  return chosen;
}

bool removeDataFolder(const QString& path, QString* error) {
  const QString clean = QDir::cleanPath(path);
  const QString home = QDir::cleanPath(QDir::homePath());
  if (!QDir::isAbsolutePath(clean) || QFileInfo(clean).fileName() != QLatin1String("ZuvoDocV30") ||
      clean == home || clean == QLatin1String("/")) {
    if (error) *error = QStringLiteral("Refused to remove %1: it is not the plug-in's folder").arg(path);
    return false;
  }
  return files::removeTree(clean, error);
}

UninstallReport uninstall(StepLog& log, const UninstallOptions& options) {
  UninstallReport report;
  deleteCertificate(log);
  askEditorToFinish(options);
  stopPrograms(options, log);
  unregisterLoginItems(log);
  for (const QString& path : {helperTimerLinkPath(), helperTimerPath(), helperServicePath()})
    removeIfPresent(path, log);
  removeIfPresent(preferencePanePath(), log);
  removeWordProcessorEntry(log);
  const QString data = paths::dataFolder();
  QString error;
  if (dataFolderIsLink(log)) {
    // Only the link goes; the folder it points to is the user's.
    if (!files::removeTree(data, &error)) log.fail(error);
    return report;
  }
  if (exists(data) && !keepUnsentLetters(options, log, &report)) {
    log.fail(QStringLiteral("%1 is kept: it holds the only copy of letters that could not be kept elsewhere").arg(data));
    return report;
  }
  if (exists(data) && !removeDataFolder(data, &error)) log.fail(error);
  return report;
}

}  // namespace zuvo::installer
