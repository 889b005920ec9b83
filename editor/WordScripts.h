// The scripts the editor sends to the word processor.
#pragma once

#include <QString>
#include <QStringList>

namespace zuvo::scripts {

// Text in script string syntax, without the surrounding quotes: \" \\ \n \r \t escaped, so
// the text arrives as typed text and never changes the script.
QString quoted(const QString& text);

// The placeholder tag "<<name>>".
QString tagFor(const QString& name);

// The seventeen-line script: open the file, then search backward for the tag (whole word,
// case-sensitive) and type the value over it while it is found.
QString placeholderScript(const QString& filePath, const QString& tag, const QString& value);

// The scripts that replace the tag by the value. One script, unless the typed value could
// form the tag again (it holds "<" or ">"): then the tag goes to a sentinel that no document
// holds and the sentinel to the value, so the search always ends.
QStringList placeholderScripts(const QString& filePath, const QString& tag, const QString& value);

// The four-line script that types the tag at the current selection.
QString insertionScript(const QString& tag);

}  // namespace zuvo::scripts
