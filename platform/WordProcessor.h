// The word processor, standing in for Microsoft Word, Launch Services and AppleScript.
//
// Contract: a desktop entry with the ID "com.microsoft.Word.desktop" (found by the XDG rules,
// Type=Application, not Hidden, TryExec present when given); scripts are run by the blocking
// session-bus call com.microsoft.Word /com/microsoft/Word com.roza.ScriptTarget.DoScript(s) -> s;
// printing starts the entry's desktop action "Print" with all paths.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace zuvo::wordprocessor {

// The desktop entry is installed and usable.
bool isInstalled();
// Opens the file with the word processor, detached; false when it could not be started.
bool openFile(const QString& path);
// Runs a script; no value when the script gave no result (error, time-out, no word processor).
std::optional<QString> runScript(const QString& source);
// Starts the desktop action "Print" with all paths in order; false when nothing is printed.
bool printFiles(const QStringList& paths);

}  // namespace zuvo::wordprocessor

namespace zuvo {
// A user notification (org.freedesktop.Notifications), errors ignored.
void postUserNotification(const QString& title, const QString& informativeText);
}  // namespace zuvo
