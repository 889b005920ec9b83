#include "editor/WordScripts.h"

namespace zuvo::scripts {
namespace {

// Private-use characters: never in a list value (lists are ASCII) and not in a letter.
const QString kSentinel = QStringLiteral(u"\uE000\uE001\uE002");

QString spaces(int n) { return QString(n, QLatin1Char(' ')); }

}  // namespace

QString quoted(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (QChar c : text) {
    switch (c.unicode()) {
      case '"': out += QLatin1String("\\\""); break;
      case '\\': out += QLatin1String("\\\\"); break;
      case '\n': out += QLatin1String("\\n"); break;
      case '\r': out += QLatin1String("\\r"); break;
      case '\t': out += QLatin1String("\\t"); break;
      default: out += c; break;
    }
  }
  return out;
}

QString tagFor(const QString& name) { return QStringLiteral("<<%1>>").arg(name); }

QString placeholderScript(const QString& filePath, const QString& tag, const QString& value) {
  const QStringList lines{
      QStringLiteral("tell application \"Microsoft Word\""),
      spaces(4) + QStringLiteral("set theDocFile to POSIX file \"%1\"").arg(quoted(filePath)),
      spaces(4) + QStringLiteral("set theDocName to name of (info for theDocFile)"),
      spaces(4) + QStringLiteral("open theDocFile"),
      spaces(4) + QStringLiteral("set theDocument to document theDocName"),
      spaces(4) + QStringLiteral("set myRange to text object of theDocument"),
      spaces(4) + QStringLiteral("move end of range (text object of document 1) by a character item count -1"),
      spaces(4) + QStringLiteral("set myFind to find object of selection"),
      spaces(4) + QStringLiteral("clear formatting myFind"),
      spaces(4) + QStringLiteral("set match whole word of myFind to true"),
      spaces(4) + QStringLiteral("set match case of myFind to true"),
      spaces(4) + QStringLiteral("set forward of myFind to false"),
      spaces(4) + QStringLiteral("repeat while execute find myFind find text \"%1\"").arg(quoted(tag)),
      spaces(8) + QStringLiteral("set replace selection of settings to true"),
      spaces(8) + QStringLiteral("type text selection text \"%1\"").arg(quoted(value)),
      spaces(4) + QStringLiteral("end repeat"),
      QStringLiteral("end tell"),
  };
  return lines.join(QLatin1Char('\n'));
}

QStringList placeholderScripts(const QString& filePath, const QString& tag, const QString& value) {
  if (!value.contains(QLatin1Char('<')) && !value.contains(QLatin1Char('>')))
    return {placeholderScript(filePath, tag, value)};
  return {placeholderScript(filePath, tag, kSentinel), placeholderScript(filePath, kSentinel, value)};
}

QString insertionScript(const QString& tag) {
  return QStringList{
      spaces(43) + QStringLiteral("tell application \"Microsoft Word\""),
      spaces(86) + QStringLiteral("set replace selection of settings to true"),
      spaces(43) + QStringLiteral("type text selection text \"%1\"").arg(quoted(tag)),
      spaces(43) + QStringLiteral("end tell"),
  }.join(QLatin1Char('\n'));
}

}  // namespace zuvo::scripts
