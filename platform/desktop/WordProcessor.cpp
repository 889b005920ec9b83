#include "platform/desktop/WordProcessor.h"

#include "platform/desktop/DesktopEntry.h"
#include "platform/fs/Paths.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QVariantMap>

namespace zuvo::wordprocessor {
namespace {

using detail::DesktopEntry;

constexpr int kNameWaitMs = 30'000;
constexpr int kScriptTimeoutMs = 120'000;

QStringList applicationDirs() {
  QStringList dirs;
  dirs << paths::applicationSupportDirectory() + "/applications";
  QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
  if (dataDirs.isEmpty()) dataDirs = QStringLiteral("/usr/local/share/:/usr/share/");
  for (const QString& d : dataDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts))
    if (QDir::isAbsolutePath(d)) dirs << QDir::cleanPath(d) + "/applications";
  return dirs;
}

using desktop_entry::splitExec;
using desktop_entry::unescapeValue;

bool isFileCode(const QString& arg) {
  return arg == QLatin1String("%f") || arg == QLatin1String("%F") || arg == QLatin1String("%u") ||
         arg == QLatin1String("%U");
}

// Field codes inside an argument other than the file codes standing alone.
QString expandInline(const QString& arg, const QString& file, const DesktopEntry& entry) {
  QString out;
  for (qsizetype i = 0; i < arg.size(); ++i) {
    if (arg[i] != QLatin1Char('%') || i + 1 == arg.size()) {
      out += arg[i];
      continue;
    }
    switch (arg[++i].unicode()) {
      case '%': out += QLatin1Char('%'); break;
      case 'f': case 'u': out += file; break;
      case 'c': out += entry.name; break;
      case 'k': out += entry.path; break;
      default: break;  // deprecated or unknown codes are dropped
    }
  }
  return out;
}

std::optional<DesktopEntry> findEntry() {
  const QString path = detail::findDesktopEntry(QString::fromLatin1(kDesktopEntryId));
  if (path.isEmpty()) return std::nullopt;
  std::optional<DesktopEntry> entry = detail::readDesktopEntry(path);
  if (!entry || !detail::isUsable(*entry)) return std::nullopt;
  return entry;
}

bool startAll(const QList<QStringList>& commands) {
  if (commands.isEmpty()) return false;
  bool ok = true;
  for (const QStringList& cmd : commands) {
    if (cmd.isEmpty() || !QProcess::startDetached(cmd.first(), cmd.mid(1))) ok = false;
  }
  return ok;
}

bool nameHasOwner(QDBusConnection& bus) {
  QDBusMessage m = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  m << QString::fromLatin1(kScriptService);
  const QDBusMessage reply = bus.call(m, QDBus::Block, 5'000);
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
         reply.arguments().first().toBool();
}

}  // namespace

namespace detail {

QString findDesktopEntry(const QString& id) {
  for (const QString& dir : applicationDirs()) {
    const QString candidate = dir + QLatin1Char('/') + id;
    if (QFileInfo(candidate).isFile()) return candidate;
  }
  return {};
}

std::optional<DesktopEntry> readDesktopEntry(const QString& path) {
  const std::optional<desktop_entry::Groups> groups = desktop_entry::readGroups(path);
  if (!groups) return std::nullopt;
  const QMap<QString, QString> keys = groups->value(QStringLiteral("Desktop Entry"));
  const auto value = [&](const char* key) { return unescapeValue(keys.value(QLatin1String(key))); };
  DesktopEntry e;
  e.path = path;
  e.name = value("Name");
  e.icon = value("Icon");
  e.type = value("Type");
  e.exec = value("Exec");
  e.tryExec = value("TryExec");
  e.hidden = value("Hidden") == QLatin1String("true");
  e.actions = value("Actions").split(QLatin1Char(';'), Qt::SkipEmptyParts);
  const QLatin1String actionGroup("Desktop Action ");
  for (auto g = groups->cbegin(); g != groups->cend(); ++g)
    if (g.key().startsWith(actionGroup) && g.value().contains(QStringLiteral("Exec")))
      e.actionExec.insert(g.key().mid(actionGroup.size()), unescapeValue(g.value().value(QStringLiteral("Exec"))));
  return e;
}

bool isUsable(const DesktopEntry& entry) {
  if (entry.type != QLatin1String("Application") || entry.hidden) return false;
  if (entry.tryExec.isEmpty()) return true;
  if (QDir::isAbsolutePath(entry.tryExec)) {
    const QFileInfo fi(entry.tryExec);
    return fi.isFile() && fi.isExecutable();
  }
  return !QStandardPaths::findExecutable(entry.tryExec).isEmpty();
}

QList<QStringList> commandLines(const QString& exec, const QStringList& files,
                                const DesktopEntry& entry) {
  const std::optional<QStringList> args = splitExec(exec);
  if (!args || args->isEmpty()) return {};
  const bool perFile = args->contains(QStringLiteral("%f")) || args->contains(QStringLiteral("%u"));
  const QList<QStringList> fileSets = [&] {
    QList<QStringList> sets;
    if (perFile && files.size() > 1)
      for (const QString& f : files) sets << QStringList{f};
    else
      sets << files;
    return sets;
  }();
  QList<QStringList> commands;
  for (const QStringList& set : fileSets) {
    QStringList cmd;
    for (const QString& a : *args) {
      if (isFileCode(a)) {
        cmd << set;
      } else if (a.size() == 2 && a[0] == QLatin1Char('%') && QStringLiteral("dDnNvm").contains(a[1])) {
        // deprecated codes standing alone leave no argument
      } else if (a == QLatin1String("%i")) {
        if (!entry.icon.isEmpty()) cmd << QStringLiteral("--icon") << entry.icon;
      } else {
        cmd << expandInline(a, set.value(0), entry);
      }
    }
    if (cmd.isEmpty() || cmd.first().isEmpty()) return {};
    commands << cmd;
  }
  return commands;
}

}  // namespace detail

bool isInstalled() { return findEntry().has_value(); }

bool openFile(const QString& path) {
  const std::optional<DesktopEntry> entry = findEntry();
  if (!entry) return false;
  return startAll(detail::commandLines(entry->exec, {path}, *entry));
}

std::optional<QString> runScript(const QString& source) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return std::nullopt;
  if (!nameHasOwner(bus)) {
    // As "tell application" does: launch it, then wait for it to take its name.
    const std::optional<DesktopEntry> entry = findEntry();
    if (!entry || !startAll(detail::commandLines(entry->exec, {}, *entry))) return std::nullopt;
    QDeadlineTimer deadline(kNameWaitMs);
    while (!nameHasOwner(bus)) {
      if (deadline.hasExpired()) return std::nullopt;
      QThread::msleep(50);
    }
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromLatin1(kScriptService), QString::fromLatin1(kScriptPath),
      QString::fromLatin1(kScriptInterface), QStringLiteral("DoScript"));
  call << source;
  const QDBusMessage reply = bus.call(call, QDBus::Block, kScriptTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1 ||
      reply.signature() != QLatin1String("s"))
    return std::nullopt;
  return reply.arguments().first().toString();
}

bool printFiles(const QStringList& paths) {
  if (paths.isEmpty()) return false;
  const std::optional<DesktopEntry> entry = findEntry();
  if (!entry || !entry->actions.contains(QStringLiteral("Print"))) return false;
  const QString exec = entry->actionExec.value(QStringLiteral("Print"));
  if (exec.isEmpty()) return false;
  return startAll(detail::commandLines(exec, paths, *entry));
}

}  // namespace zuvo::wordprocessor

namespace zuvo {

void postUserNotification(const QString& title, const QString& informativeText) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage m = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  const QVariantMap hints{{QStringLiteral("sound-name"), QStringLiteral("message-new-instant")}};
  m << QCoreApplication::applicationName() << uint(0) << QString() << title << informativeText
    << QStringList() << hints << int(-1);
  bus.send(m);  // no reply awaited: a missing notification service is not an error here
}

}  // namespace zuvo
