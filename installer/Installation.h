// What the installer puts in place and takes away again: the program bundles in the
// DataFolder, the login items, the helper's weekly systemd user timer and the settings
// entry; at uninstallation also the running programs and the server's certificate.
#pragma once

#include "installer/InstallerLog.h"
#include "platform/process/ProcessList.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <vector>

namespace zuvo::installer {

// The programs, in the order they are copied and looked for.
inline const QStringList kCopyOrder = {
    QStringLiteral("ZuvoEditor"), QStringLiteral("ZuvoLocalServer"), QStringLiteral("ZuvoScanner"),
    QStringLiteral("ZuvoRecorder"), QStringLiteral("ZuvoHelper"), QStringLiteral("ZuvoWriterBridge")};
inline const QStringList kProgramNames = {
    QStringLiteral("ZuvoLocalServer"), QStringLiteral("ZuvoEditor"), QStringLiteral("ZuvoScanner"),
    QStringLiteral("ZuvoRecorder"), QStringLiteral("ZuvoHelper"), QStringLiteral("ZuvoWriterBridge")};

// The rule of the requirements check: major version 10 needs minor 13 or later; any other
// major version passes.
bool operatingSystemSupported(int major, int minor);

// Contents/Resources of the bundle that holds the running executable (/proc/self/exe).
QString payloadDirectory();

// The helper's units and their enable link, in $XDG_CONFIG_HOME/systemd/user.
QString helperServicePath();
QString helperTimerPath();
QString helperTimerLinkPath();
// The settings entry: $XDG_DATA_HOME/applications/ZuvoDocPlugin.desktop.
QString preferencePanePath();

// The word processor's entry, $XDG_DATA_HOME/applications/com.microsoft.Word.desktop: the
// bridge to LibreOffice Writer, usable exactly while LibreOffice's start script (TryExec) is
// installed.
QString wordProcessorEntryPath();
QString wordProcessorEntry(const QString& bridgeExecutable, const QString& officeProgram);
// Written when the payload carries the bridge; removed only when it is ours.
void writeWordProcessorEntry(const QString& payload, StepLog& log);
void removeWordProcessorEntry(StepLog& log);

// One argument of ExecStart= in double quotes with systemd's escapes ("%" and "$" doubled).
QString systemdQuote(const QString& argument);
QString helperServiceUnit(const QString& helperExecutable);
QString helperTimerUnit();

// Installed: every program bundle of the payload among the server, the scanner, the editor
// and the recorder exists in the DataFolder.
bool isInstalled(const QString& payload);

// The installation's steps after the progress is shown; failures are logged and counted.
void install(const QString& payload, StepLog& log);

struct ProcessToStop {
  pid_t pid;
  bool wholeGroup;  // the program leads its group, which is not ours
};
// The user's own processes named exactly like one of the programs, never the caller itself.
std::vector<ProcessToStop> chooseProcesses(const std::vector<ProcessRecord>& processes, uid_t user,
                                           pid_t ownPid, pid_t ownGroup);

// Removes the DataFolder: only the DataFolder itself (absolute, named ZuvoDocV30, not the
// home folder); a symbolic link in its place is removed, not followed.
bool removeDataFolder(const QString& path, QString* error);

struct UninstallOptions {
  QString procRoot = QStringLiteral("/proc");
  std::chrono::milliseconds waitForPrograms = std::chrono::seconds(5);
  // How long the editor may take to send its letters' last saves before it is stopped.
  std::chrono::milliseconds waitForEditor = std::chrono::seconds(30);
  // Asked when letters hold changes the server never accepted (their names, and the folder
  // they are kept in): true keeps them there, false lets them go with the DataFolder.
  // Without it they are kept.
  std::function<bool(const QStringList& letters, const QString& folder)> keepLetters;
};
struct UninstallReport {
  QString keptFolder;  // where the letters with unsent changes were put; empty when none
  QStringList keptLetters;
};
// The uninstallation's steps after the progress is shown.
UninstallReport uninstall(StepLog& log, const UninstallOptions& options = {});


}  // namespace zuvo::installer
