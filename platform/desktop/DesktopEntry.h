// Desktop entry files (the XDG Desktop Entry format): the Exec line's quoting and parsing,
// and reading the keys of the [Desktop Entry] group.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace zuvo::desktop_entry {

// A string value with its escapes (\s \n \t \r \\) undone; any other backslash stays.
QString unescapeValue(const QString& value);

// An unescaped Exec value split into its arguments by the quoting rules, field codes kept.
// None on an unterminated quote.
std::optional<QStringList> splitExec(const QString& exec);

// One Exec argument as it is written into the file: in double quotes with the quoting
// rule's escapes, "%" doubled, and the string-value escapes applied on top.
QString quoteExecArgument(const QString& argument);

// The arguments of an Exec value as read from the file: string escapes undone, quoted
// arguments unquoted, field codes dropped ("%%" is a "%"). None when the value is malformed
// (an unterminated quote) or holds no program.
std::optional<QStringList> parseExec(const QString& value);

// The groups of a desktop entry file by name, each with its keys and their values as written
// (escapes kept). Blank lines and comment lines ("#") are skipped, blanks around "=" and at
// the ends of a line ignored; of a key or group written twice the first holds. None when the
// file cannot be read or has no [Desktop Entry] group.
using Groups = QMap<QString, QMap<QString, QString>>;
std::optional<Groups> readGroups(const QString& path);

// The keys of the [Desktop Entry] group of the file (readGroups).
std::optional<QMap<QString, QString>> readDesktopEntry(const QString& path);

}  // namespace zuvo::desktop_entry
