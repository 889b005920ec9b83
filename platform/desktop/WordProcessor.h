// The word processor, standing in for Microsoft Word, Launch Services and AppleScript.
//
// Contract (any word processor that offers it can serve):
// - installed: a desktop entry with the ID "com.microsoft.Word.desktop", found by the XDG
//   rules ($XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS/*/applications; the first
//   file found decides), Type=Application, not Hidden, its TryExec (if any) present;
// - open: the entry's Exec with the file (field codes %f %F %u %U), detached;
// - scripts: the blocking session-bus call com.microsoft.Word /com/microsoft/Word
//   com.roza.ScriptTarget.DoScript(s source) -> s result. When the name has no owner the
//   entry's Exec is started without files and the name awaited up to 30 s. An error reply,
//   a time-out (120 s) or no owner means the script gave no result;
// - print: the entry's desktop action "Print" ([Desktop Action Print]) with all paths.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

namespace zuvo::wordprocessor {

inline constexpr const char* kDesktopEntryId = "com.microsoft.Word.desktop";
inline constexpr const char* kScriptService = "com.microsoft.Word";
inline constexpr const char* kScriptPath = "/com/microsoft/Word";
inline constexpr const char* kScriptInterface = "com.roza.ScriptTarget";

// The desktop entry is installed and usable.
bool isInstalled();
// Opens the file with the word processor, detached; false when it could not be started.
bool openFile(const QString& path);
// Runs a script; no value when the script gave no result (error, time-out, no word processor).
std::optional<QString> runScript(const QString& source);
// Starts the desktop action "Print" with all paths in order; false when nothing is printed.
bool printFiles(const QStringList& paths);

namespace detail {
// A parsed desktop entry: the keys of [Desktop Entry] and of each [Desktop Action <name>].
struct DesktopEntry {
  QString path;
  QString name, icon, type, exec, tryExec;
  bool hidden = false;
  QStringList actions;               // the Actions key
  QMap<QString, QString> actionExec;  // action name -> Exec of its group
};
// The file that holds the entry with this ID by the XDG lookup order; empty when none.
QString findDesktopEntry(const QString& id);
std::optional<DesktopEntry> readDesktopEntry(const QString& path);
// The entry is of Type=Application, not Hidden, and its TryExec (if any) exists.
bool isUsable(const DesktopEntry& entry);
// The command lines an Exec value gives for these files: one command for %F/%U (or no
// files), one per file for %f/%u. Empty when the Exec value cannot be parsed.
QList<QStringList> commandLines(const QString& exec, const QStringList& files,
                                const DesktopEntry& entry);
}  // namespace detail

}  // namespace zuvo::wordprocessor

namespace zuvo {
// A user notification (org.freedesktop.Notifications Notify) with the default sound,
// errors ignored.
void postUserNotification(const QString& title, const QString& informativeText);
}  // namespace zuvo
