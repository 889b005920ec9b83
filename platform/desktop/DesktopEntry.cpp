#include "platform/desktop/DesktopEntry.h"

#include <QFile>

namespace zuvo::desktop_entry {
namespace {

bool isFieldCodeLetter(QChar c) {
  return QStringLiteral("fFuUdDnNickvm").contains(c);
}

// "%%" becomes "%", field codes go; an argument that is only a field code goes whole.
std::optional<QString> expandFieldCodes(const QString& argument) {
  if (argument.size() == 2 && argument[0] == QLatin1Char('%') && isFieldCodeLetter(argument[1]))
    return std::nullopt;
  QString out;
  for (qsizetype i = 0; i < argument.size(); ++i) {
    if (argument[i] == QLatin1Char('%') && i + 1 < argument.size()) {
      const QChar n = argument[i + 1];
      if (n == QLatin1Char('%')) {
        out += n;
        ++i;
        continue;
      }
      if (isFieldCodeLetter(n)) {
        ++i;
        continue;
      }
    }
    out += argument[i];
  }
  return out;
}

}  // namespace

QString unescapeValue(const QString& value) {
  QString out;
  out.reserve(value.size());
  for (qsizetype i = 0; i < value.size(); ++i) {
    const QChar c = value[i];
    if (c != QLatin1Char('\\') || i + 1 == value.size()) {
      out += c;
      continue;
    }
    const QChar n = value[++i];
    switch (n.unicode()) {
      case 's': out += QLatin1Char(' '); break;
      case 'n': out += QLatin1Char('\n'); break;
      case 't': out += QLatin1Char('\t'); break;
      case 'r': out += QLatin1Char('\r'); break;
      case '\\': out += QLatin1Char('\\'); break;
      default: out += c; out += n; break;
    }
  }
  return out;
}

std::optional<QStringList> splitExec(const QString& exec) {
  QStringList args;
  QString cur;
  bool inArg = false, quoted = false;
  for (qsizetype i = 0; i < exec.size(); ++i) {
    const QChar c = exec[i];
    if (quoted) {
      if (c == QLatin1Char('"')) {
        quoted = false;
      } else if (c == QLatin1Char('\\') && i + 1 < exec.size() &&
                 QStringLiteral("\"`$\\").contains(exec[i + 1])) {
        cur += exec[++i];
      } else {
        cur += c;
      }
    } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
      if (inArg) args << cur;
      cur.clear();
      inArg = false;
    } else if (c == QLatin1Char('"')) {
      quoted = inArg = true;
    } else {
      cur += c;
      inArg = true;
    }
  }
  if (quoted) return std::nullopt;
  if (inArg) args << cur;
  return args;
}

QString quoteExecArgument(const QString& argument) {
  QString quoted = QStringLiteral("\"");
  for (const QChar c : argument) {
    if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
      quoted += QLatin1Char('\\');
    else if (c == QLatin1Char('%'))
      quoted += QLatin1Char('%');
    quoted += c;
  }
  quoted += QLatin1Char('"');
  QString value;
  for (const QChar c : quoted) {
    switch (c.unicode()) {
      case '\\': value += QStringLiteral("\\\\"); break;
      case '\n': value += QStringLiteral("\\n"); break;
      case '\t': value += QStringLiteral("\\t"); break;
      case '\r': value += QStringLiteral("\\r"); break;
      default: value += c; break;
    }
  }
  return value;
}

std::optional<QStringList> parseExec(const QString& value) {
  const std::optional<QStringList> split = splitExec(unescapeValue(value));
  if (!split) return std::nullopt;
  QStringList args;
  for (const QString& arg : *split)
    if (const auto expanded = expandFieldCodes(arg)) args << *expanded;
  if (args.isEmpty() || args.front().isEmpty()) return std::nullopt;
  return args;
}

std::optional<Groups> readGroups(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QList<QByteArray> lines = file.readAll().split('\n');
  Groups groups;
  QMap<QString, QString>* keys = nullptr;  // the open group's, none for a repeated one
  for (const QByteArray& raw : lines) {
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
    if (line.startsWith(QLatin1Char('['))) {
      const QString name = line.endsWith(QLatin1Char(']')) ? line.mid(1, line.size() - 2) : QString();
      keys = name.isEmpty() || groups.contains(name) ? nullptr : &groups[name];
      continue;
    }
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (!keys || eq <= 0) continue;
    const QString key = line.left(eq).trimmed();
    if (!keys->contains(key)) keys->insert(key, line.mid(eq + 1).trimmed());
  }
  if (!groups.contains(QStringLiteral("Desktop Entry"))) return std::nullopt;
  return groups;
}

std::optional<QMap<QString, QString>> readDesktopEntry(const QString& path) {
  const std::optional<Groups> groups = readGroups(path);
  if (!groups) return std::nullopt;
  return groups->value(QStringLiteral("Desktop Entry"));
}

}  // namespace zuvo::desktop_entry
