#include "platform/fs/FileTree.h"

#include "platform/fs/Files.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <system_error>
#include <unistd.h>

namespace zuvo::files {
namespace fs = std::filesystem;

namespace {

void setError(QString* error, const QString& text) {
  if (error) *error = text;
}

fs::path toPath(const QString& path) { return fs::path(QFile::encodeName(path).toStdString()); }

QString temporarySibling(const QString& destination) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  const QFileInfo info(destination);
  return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".partial-") +
         QString::number(random(), 36);
}

}  // namespace

bool copyTreeNoReplace(const QString& source, const QString& destination, QString* error) {
  std::error_code ec;
  const fs::path dst = toPath(destination);
  if (fs::symlink_status(dst, ec).type() != fs::file_type::not_found && !ec) {
    setError(error, QStringLiteral("Could not copy %1 to %2: %3").arg(source, destination, errnoText(EEXIST)));
    return false;
  }
  const QString partial = temporarySibling(destination);
  ec.clear();
  fs::copy(toPath(source), toPath(partial), fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    setError(error, QStringLiteral("Could not copy %1 to %2: %3")
                        .arg(source, destination, QString::fromLocal8Bit(ec.message().c_str())));
    removeTree(partial);
    return false;
  }
  if (!renameNoReplace(partial, destination, error)) {
    removeTree(partial);
    return false;
  }
  return true;
}

bool removeTree(const QString& path, QString* error) {
  std::error_code ec;
  fs::remove_all(toPath(path), ec);
  if (ec) {
    setError(error, QStringLiteral("Could not remove %1: %2").arg(path, QString::fromLocal8Bit(ec.message().c_str())));
    return false;
  }
  return true;
}

bool writeFileAtomically(const QString& path, const QByteArray& content, QString* error) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
    setError(error, QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    return false;
  }
  return true;
}

}  // namespace zuvo::files
