#include "writer_bridge/Scripts.h"

#include <QStringList>
#include <optional>
#include <vector>

namespace zuvo::writer {
namespace {

// "%s" marks the one string literal of a line.
const std::vector<QString> kPlaceholderShape = {
    QStringLiteral("tell application \"Microsoft Word\""),
    QStringLiteral("set theDocFile to POSIX file %s"),
    QStringLiteral("set theDocName to name of (info for theDocFile)"),
    QStringLiteral("open theDocFile"),
    QStringLiteral("set theDocument to document theDocName"),
    QStringLiteral("set myRange to text object of theDocument"),
    QStringLiteral("move end of range (text object of document 1) by a character item count -1"),
    QStringLiteral("set myFind to find object of selection"),
    QStringLiteral("clear formatting myFind"),
    QStringLiteral("set match whole word of myFind to true"),
    QStringLiteral("set match case of myFind to true"),
    QStringLiteral("set forward of myFind to false"),
    QStringLiteral("repeat while execute find myFind find text %s"),
    QStringLiteral("set replace selection of settings to true"),
    QStringLiteral("type text selection text %s"),
    QStringLiteral("end repeat"),
    QStringLiteral("end tell"),
};

const std::vector<QString> kInsertShape = {
    QStringLiteral("tell application \"Microsoft Word\""),
    QStringLiteral("set replace selection of settings to true"),
    QStringLiteral("type text selection text %s"),
    QStringLiteral("end tell"),
};

// The body of a literal that fills the rest of the line exactly: "..." with escapes.
std::optional<QString> literal(QStringView text) {
  if (text.size() < 2 || text.front() != u'"' || text.back() != u'"') return std::nullopt;
  QString out;
  for (qsizetype i = 1; i + 1 < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'"' || c == u'\n' || c == u'\r') return std::nullopt;
    if (c != u'\\') {
      out += c;
      continue;
    }
    if (++i + 1 >= text.size()) return std::nullopt;  // a backslash before the closing quote
    switch (text[i].unicode()) {
      case '"': out += u'"'; break;
      case '\\': out += u'\\'; break;
      case 'n': out += u'\n'; break;
      case 'r': out += u'\r'; break;
      case 't': out += u'\t'; break;
      default: return std::nullopt;
    }
  }
  return out;
}

std::optional<QStringList> match(const QString& source, const std::vector<QString>& shape) {
  const QStringList lines = source.split(u'\n');
  if (lines.size() != qsizetype(shape.size())) return std::nullopt;
  QStringList literals;
  for (size_t n = 0; n < shape.size(); ++n) {
    QStringView line = lines[qsizetype(n)];
    while (!line.isEmpty() && line.front() == u' ') line = line.mid(1);
    const QString& pattern = shape[n];
    const qsizetype mark = pattern.indexOf(QStringLiteral("%s"));
    if (mark < 0) {
      if (line != pattern) return std::nullopt;
      continue;
    }
    if (!line.startsWith(QStringView(pattern).left(mark))) return std::nullopt;
    const std::optional<QString> value = literal(line.mid(mark));
    if (!value) return std::nullopt;
    literals << *value;
  }
  return literals;
}

}  // namespace

Script parseScript(const QString& source) {
  if (const auto l = match(source, kPlaceholderShape)) {
    if (l->at(0).isEmpty()) return UnknownScript{QStringLiteral("the script names no file")};
    if (l->at(1).isEmpty()) return UnknownScript{QStringLiteral("the script searches for nothing")};
    return FillPlaceholder{l->at(0), l->at(1), l->at(2)};
  }
  if (const auto l = match(source, kInsertShape)) return InsertAtSelection{l->at(0)};
  return UnknownScript{QStringLiteral("script not understood")};
}

}  // namespace zuvo::writer
