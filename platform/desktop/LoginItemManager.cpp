#include "platform/desktop/LoginItemManager.h"

#include "platform/desktop/DesktopEntry.h"
#include "platform/fs/FileTree.h"
#include "platform/fs/Files.h"
#include "platform/fs/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <climits>
#include <cstdlib>

namespace zuvo {
namespace {

QString canonical(const QString& path) {
  char resolved[PATH_MAX];
  if (!realpath(QFile::encodeName(path).constData(), resolved)) return {};
  return QFile::decodeName(resolved);
}

QString bundleName(const QString& url) {
  QString name = QFileInfo(QDir::cleanPath(url)).fileName();
  if (name.endsWith(QLatin1String(".app"))) name.chop(4);
  return name;
}

// The program an entry starts: its Exec line's first argument, found on PATH when it is a
// bare name, resolved to its canonical path.
QString entryProgram(const QString& file) {
  const auto keys = desktop_entry::readDesktopEntry(file);
  if (!keys || !keys->contains(QStringLiteral("Exec"))) return {};
  const auto args = desktop_entry::parseExec(keys->value(QStringLiteral("Exec")));
  if (!args) return {};
  QString program = args->front();
  if (!program.contains(QLatin1Char('/'))) program = QStandardPaths::findExecutable(program);
  else if (!QDir::isAbsolutePath(program)) return {};
  return program.isEmpty() ? QString() : canonical(program);
}

QStringList entryFiles() {
  QDir dir(LoginItemManager::autostartFolder());
  QStringList files;
  for (const QString& name : dir.entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name))
    files << dir.filePath(name);
  return files;
}

}  // namespace

LoginItemManager::LoginItemManager(QObject* parent) : QObject(parent) {
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
    watch();
    emit launchAtLoginChanged();
  });
  watch();
}

LoginItemManager::~LoginItemManager() {
  watcher_.disconnect(this);
}

void LoginItemManager::watch() {
  const QString folder = autostartFolder();
  const QString parent = QFileInfo(folder).absolutePath();
  const QString wanted = QFileInfo(folder).isDir() ? folder : parent;
  const QStringList watched = watcher_.directories();
  if (watched == QStringList{wanted}) return;
  if (!watched.isEmpty()) watcher_.removePaths(watched);
  if (QFileInfo(wanted).isDir()) watcher_.addPath(wanted);
}

QString LoginItemManager::autostartFolder() {
  return paths::configHomeDirectory() + QStringLiteral("/autostart");
}

QString LoginItemManager::resolveProgram(const QString& url) {
  const QString clean = QDir::cleanPath(url);
  if (clean.endsWith(QLatin1String(".app")))
    return canonical(clean + QStringLiteral("/Contents/MacOS/") + bundleName(clean));
  return canonical(clean);
}

std::optional<LoginItemManager::Item> LoginItemManager::findItemWithURL(const QString& url) const {
  if (url.isEmpty()) return std::nullopt;
  const QString program = resolveProgram(url);
  if (program.isEmpty()) return std::nullopt;
  for (const QString& file : entryFiles()) {
    const QString target = entryProgram(file);
    if (!target.isEmpty() && target == program) return Item{file, target};
  }
  return std::nullopt;
}

bool LoginItemManager::willLaunchAtLogin(const QString& url) const { return findItemWithURL(url).has_value(); }

bool LoginItemManager::setLaunchAtLogin(bool enabled, const QString& url, QString* error) {
  const auto found = findItemWithURL(url);
  if (!enabled) {
    if (!found) return true;
    QFile file(found->file);
    if (!file.remove()) {
      if (error) *error = QStringLiteral("Could not remove %1: %2").arg(found->file, file.errorString());
      return false;
    }
    return true;
  }
  if (found) return true;
  const QString program = resolveProgram(url);
  if (program.isEmpty()) {
    if (error) *error = QStringLiteral("Could not add %1 to the login items: the program does not exist").arg(url);
    return false;
  }
  const QString folder = autostartFolder();
  if (!QDir().mkpath(folder)) {
    if (error) *error = QStringLiteral("Could not create %1").arg(folder);
    return false;
  }
  const QString name = bundleName(url);
  const QString path = folder + QStringLiteral("/com.roza.") + name.toLower() + QStringLiteral(".desktop");
  const QByteArray content = QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n")
                                 .arg(name, desktop_entry::quoteExecArgument(program))
                                 .toUtf8();
  // Written beside its place and moved there without replacing: another program's entry
  // of the same name stays as it is.
  const QString partial = folder + QStringLiteral("/.") + name.toLower() + QStringLiteral(".desktop.partial");
  QFile::remove(partial);
  if (!files::writeFileAtomically(partial, content, error)) return false;
  if (!files::renameNoReplace(partial, path, error)) {
    QFile::remove(partial);
    return false;
  }
  return true;
}

QString LoginItemManager::appURL() {
  const QString exe = canonical(QStringLiteral("/proc/self/exe"));
  const QFileInfo info(exe);
  const QDir macos = info.dir();
  const QString bundle = QDir::cleanPath(macos.absolutePath() + QStringLiteral("/../.."));
  if (macos.dirName() == QLatin1String("MacOS") && bundle.endsWith(QLatin1String(".app")) &&
      bundleName(bundle) == info.fileName())
    return bundle;
  return exe;
}

bool LoginItemManager::launchAtLogin() const { return willLaunchAtLogin(appURL()); }

void LoginItemManager::setLaunchAtLogin(bool enabled) {
  setLaunchAtLogin(enabled, appURL(), nullptr);
  emit launchAtLoginChanged();
}

}  // namespace zuvo
