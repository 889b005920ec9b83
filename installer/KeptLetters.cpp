#include "installer/KeptLetters.h"

#include "platform/fs/FileTree.h"
#include "platform/fs/Files.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <zip.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo::installer {
namespace {

bool present(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// Owner-only, links not followed.
void makeOwnerOnly(const QString& tree) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path root = QFile::encodeName(tree).toStdString();
  const auto protect = [&ec](const fs::path& p) {
    const fs::file_status st = fs::symlink_status(p, ec);
    if (fs::is_directory(st)) fs::permissions(p, fs::perms::owner_all, ec);
    else if (fs::is_regular_file(st)) fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write, ec);
  };
  protect(root);
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) protect(it->path());
}

// An entry name that stays inside the folder: relative, no "." or ".." parts.
bool plainName(const QString& name) {
  if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QChar(0))) return false;
  for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts))
    if (part == QLatin1String(".") || part == QLatin1String("..")) return false;
  return true;
}

bool writeEntry(zip_t* za, zip_uint64_t index, const QByteArray& password, const QString& path, QString* error) {
  zip_file_t* in = zip_fopen_index_encrypted(za, index, 0, password.constData());
  if (!in) {
    *error = QStringLiteral("%1: %2").arg(path, QString::fromUtf8(zip_strerror(za)));
    return false;
  }
  const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  if (!ok) *error = files::errnoText(path, errno);
  char buffer[65536];
  for (zip_int64_t n; ok && (n = zip_fread(in, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      *error = QStringLiteral("%1: %2").arg(path, QString::fromUtf8(zip_file_strerror(in)));
      ok = false;
    } else if (::write(fd, buffer, size_t(n)) != n) {
      *error = files::errnoText(path, errno);
      ok = false;
    }
  }
  if (fd >= 0 && ::close(fd) != 0 && ok) {
    *error = files::errnoText(path, errno);
    ok = false;
  }
  zip_fclose(in);
  return ok;
}

}  // namespace

QString keptLettersFolder() {
  const QString base = QDir::cleanPath(QDir::homePath()) + QStringLiteral("/ZuvoDoc unsent letters/");
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
  QString folder = base + stamp;
  for (int n = 2; present(folder); ++n) folder = base + stamp + QStringLiteral(" %1").arg(n);
  return folder;
}

bool extractArchive(const QString& archive, const QByteArray& password, const QString& into, QString* error) {
  int code = 0;
  zip_t* za = zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &code);
  if (!za) {
    zip_error_t e;
    zip_error_init_with_code(&e, code);
    *error = QStringLiteral("%1: %2").arg(archive, QString::fromUtf8(zip_error_strerror(&e)));
    zip_error_fini(&e);
    return false;
  }
  bool ok = files::makeOwnerOnlyFolder(into, error);
  const zip_int64_t count = ok ? zip_get_num_entries(za, 0) : 0;
  for (zip_int64_t i = 0; ok && i < count; ++i) {
    const char* raw = zip_get_name(za, zip_uint64_t(i), ZIP_FL_ENC_GUESS);
    const QString name = raw ? QString::fromUtf8(raw) : QString();
    if (!plainName(name)) {
      *error = QStringLiteral("%1: the entry \"%2\" is not a plain name").arg(archive, name);
      ok = false;
      break;
    }
    const QString path = QDir::cleanPath(into + QLatin1Char('/') + name);
    if (name.endsWith(QLatin1Char('/'))) {
      ok = files::makeOwnerOnlyFolder(path, error);
      continue;
    }
    ok = files::makeOwnerOnlyFolder(QFileInfo(path).path(), error) &&
         writeEntry(za, zip_uint64_t(i), password, path, error);
  }
  zip_discard(za);
  return ok;
}

bool keepLetters(const std::vector<letters::Unsent>& unsent, const QString& folder, StepLog& log) {
  QString error;
  if (!files::makeOwnerOnlyFolder(QFileInfo(folder).absolutePath(), &error) ||
      !files::makeOwnerOnlyFolder(folder, &error)) {
    log.fail(error);
    return false;
  }
  bool ok = true;
  QSet<QString> taken;
  for (const letters::Unsent& u : unsent) {
    const QString name = QFileInfo(u.source).fileName();
    QString target = folder + QLatin1Char('/') + name;
    if (taken.contains(target) || present(target)) target = folder + QLatin1Char('/') + u.token + QLatin1Char(' ') + name;
    taken.insert(target);
    if (!files::copyTreeNoReplace(u.source, target, &error)) {
      log.fail(QStringLiteral("%1 could not be kept: %2").arg(u.name, error));
      ok = false;
      continue;
    }
    makeOwnerOnly(target);
    logInstallerError(QStringLiteral("%1 holds changes the server never accepted; kept as %2").arg(u.name, target));
    // The archive stays as it is; its letter is opened beside it for the user.
    if (QFileInfo(target).isFile() && target.endsWith(QStringLiteral(".zip"))) {
      const QString opened = target.chopped(4);
      if (!present(opened) && !extractArchive(target, letters::backupPassword(), opened, &error))
        logInstallerError(QStringLiteral("%1 could not be opened: %2").arg(target, error));
    }
  }
  return ok;
}

}  // namespace zuvo::installer
