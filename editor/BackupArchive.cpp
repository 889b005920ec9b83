#include "editor/BackupArchive.h"
#include "platform/Files.h"

#include <QDateTime>
#include <QFile>

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace zuvo::backup {

namespace {

// mkstemp's pattern after the archive's name; removeInterruptedArchives knows it by this.
constexpr char kTempSuffix[] = ".XXXXXX";

struct Entry {
  std::string name;  // relative, "/"-separated; folders end with "/"
  fs::path path;
  bool folder;
};

QString fromNative(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

bool listEntries(const fs::path& root, std::vector<Entry>* entries, QString* error) {
  std::error_code ec;
  const fs::file_status rootStatus = fs::symlink_status(root, ec);
  if (ec || !fs::is_directory(rootStatus)) {
    *error = QStringLiteral("%1 is not a folder").arg(fromNative(root.native()));
    return false;
  }
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::file_status st = it->symlink_status(ec);
    if (ec) break;
    std::string name = it->path().lexically_relative(root).generic_string();
    if (fs::is_directory(st)) {
      entries->push_back({name + "/", it->path(), true});
    } else if (fs::is_regular_file(st)) {
      entries->push_back({name, it->path(), false});
    } else {
      *error = QStringLiteral("%1 is neither a file nor a folder").arg(fromNative(it->path().native()));
      return false;
    }
  }
  if (ec) {
    *error = QStringLiteral("Cannot list %1: %2")
                 .arg(fromNative(root.native()), QString::fromStdString(ec.message()));
    return false;
  }
  std::sort(entries->begin(), entries->end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return true;
}

QString zipError(zip_t* za) { return QString::fromLocal8Bit(zip_strerror(za)); }

// Formats that are compressed already: deflating them again costs time and gains nothing.
bool compressedFormat(const unsigned char* b, size_t n) {
  auto starts = [&](std::initializer_list<unsigned char> magic, size_t at = 0) {
    return n >= at + magic.size() && std::equal(magic.begin(), magic.end(), b + at);
  };
  return starts({'P', 'K', 3, 4}) ||                         // zip: docx, xlsx, odt, jar ...
         starts({0x1f, 0x8b}) ||                             // gzip
         starts({0xff, 0xd8, 0xff}) ||                       // JPEG
         starts({0x89, 'P', 'N', 'G'}) ||                    // PNG
         starts({'G', 'I', 'F', '8'}) ||                     // GIF
         starts({'7', 'z', 0xbc, 0xaf, 0x27, 0x1c}) ||       // 7z
         starts({0xfd, '7', 'z', 'X', 'Z', 0}) ||            // xz
         starts({'B', 'Z', 'h'}) ||                          // bzip2
         starts({0x28, 0xb5, 0x2f, 0xfd}) ||                 // zstd
         (starts({'R', 'I', 'F', 'F'}) && starts({'W', 'E', 'B', 'P'}, 8)) ||
         starts({'f', 't', 'y', 'p'}, 4);                    // MP4, MOV, HEIC
}

// Whether deflate is worth it for the file: known compressed formats are not; other files
// of some size are judged by how well their first block compresses at the fastest level.
bool worthDeflating(const fs::path& path) {
  constexpr size_t kTrialBlock = 64 * 1024;
  constexpr size_t kTooSmallToJudge = 4096;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return true;  // libzip reports the error when it reads the file
  std::vector<unsigned char> block(kTrialBlock);
  size_t n = 0;
  while (n < block.size()) {
    const ssize_t r = ::read(fd, block.data() + n, block.size() - n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    n += size_t(r);
  }
  ::close(fd);
  if (compressedFormat(block.data(), n)) return false;
  if (n < kTooSmallToJudge) return true;
  uLongf packed = compressBound(uLong(n));
  std::vector<unsigned char> out(packed);
  if (compress2(out.data(), &packed, block.data(), uLong(n), 1) != Z_OK) return true;
  return packed < n - n / 20;  // saves at least 5 %
}

bool addEntries(zip_t* za, const std::vector<Entry>& entries, const QByteArray& password,
                QString* error) {
  for (const Entry& e : entries) {
    zip_int64_t index;
    if (e.folder) {
      index = zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_GUESS);
    } else {
      zip_source_t* source = zip_source_file(za, e.path.c_str(), 0, 0);
      if (!source) {
        *error = zipError(za);
        return false;
      }
      index = zip_file_add(za, e.name.c_str(), source, ZIP_FL_ENC_GUESS);
      if (index < 0) zip_source_free(source);
    }
    if (index < 0) {
      *error = zipError(za);
      return false;
    }
    if (e.folder) continue;
    // Level 6 is deflate's default; libzip's own default stores small files as they are.
    const bool deflate = worthDeflating(e.path);
    if (zip_set_file_compression(za, zip_uint64_t(index), deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                 deflate ? 6 : 0) != 0 ||
        zip_file_set_encryption(za, zip_uint64_t(index), ZIP_EM_AES_256, password.constData()) != 0) {
      *error = zipError(za);
      return false;
    }
  }
  return true;
}

// zip_close can succeed without writing a file (no entries); count what is really there.
bool archiveHoldsEntries(const std::string& path, const std::vector<Entry>& entries, QString* error) {
  int code = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
  if (!za) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    *error = QStringLiteral("The archive was not written: %1")
                 .arg(QString::fromLocal8Bit(zip_error_strerror(&ze)));
    zip_error_fini(&ze);
    return false;
  }
  bool ok = zip_get_num_entries(za, 0) == zip_int64_t(entries.size());
  for (const Entry& e : entries)
    ok = ok && zip_name_locate(za, e.name.c_str(), ZIP_FL_ENC_RAW) >= 0;
  zip_discard(za);
  if (!ok) *error = QStringLiteral("The archive does not hold every entry");
  return ok;
}

// Flushes a file, or a folder's entries, to disk.
bool syncPath(const std::string& path, bool folder, QString* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  const bool ok = fd >= 0 && ::fsync(fd) == 0;
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (!ok) *error = QStringLiteral("Cannot flush %1: %2").arg(fromNative(path), zuvo::files::errnoText(err));
  return ok;
}

// An archive already there may hold the only copy of an earlier edit: it moves to a name
// dated by when it was written, never over another file.
bool keepOlderArchive(const QString& archivePath, QString* error) {
  struct stat st {};
  if (::lstat(QFile::encodeName(archivePath).constData(), &st) != 0) return true;
  if (!S_ISREG(st.st_mode)) {
    *error = QStringLiteral("%1 is in the way: it is no archive").arg(archivePath);
    return false;
  }
  const QDateTime written = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec);
  for (int n = 1; n < 1000; ++n) {
    int err = 0;
    if (zuvo::files::renameNoReplace(archivePath, datedArchivePath(archivePath, written, n), error, &err))
      return true;
    if (err != EEXIST) return false;
  }
  *error = QStringLiteral("Cannot keep the older archive %1: every dated name is taken").arg(archivePath);
  return false;
}

}  // namespace

bool writeFolderArchive(const QString& folder, const QString& archivePath, const QByteArray& password,
                        QString* error) {
  QString scratch;
  QString& why = error ? *error : scratch;
  const fs::path root(QFile::encodeName(folder).toStdString());
  const std::string target = QFile::encodeName(archivePath).toStdString();

  std::vector<Entry> entries;
  if (!listEntries(root, &entries, &why)) return false;

  std::string temp = target + kTempSuffix;
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    why = QStringLiteral("Cannot create %1: %2")
              .arg(archivePath, zuvo::files::errnoText(errno));
    return false;
  }
  ::close(fd);

  int code = 0;
  zip_t* za = zip_open(temp.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  bool ok = za != nullptr;
  if (!za) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    why = QString::fromLocal8Bit(zip_error_strerror(&ze));
    zip_error_fini(&ze);
  } else if (!addEntries(za, entries, password, &why)) {
    zip_discard(za);
    ok = false;
  } else if (zip_close(za) != 0) {
    why = zipError(za);
    zip_discard(za);
    ok = false;
  }
  ok = ok && archiveHoldsEntries(temp, entries, &why) && syncPath(temp, false, &why);
  ok = ok && keepOlderArchive(archivePath, &why);
  if (ok && !zuvo::files::renameNoReplace(QFile::decodeName(QByteArray::fromStdString(temp)), archivePath, &why))
    ok = false;
  // The archive's name is on disk before the caller removes the document's folder.
  ok = ok && syncPath(fs::path(target).parent_path().string(), true, &why);
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

QStringList removeInterruptedArchives(const QString& backupFolder, QStringList* errors) {
  QStringList removed;
  const std::string dir = QFile::encodeName(backupFolder).toStdString();
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const size_t suffix = sizeof kTempSuffix - 1;
    if (name.size() <= suffix + 4 || name.compare(name.size() - suffix - 4, 5, ".zip.") != 0) continue;
    if (!std::all_of(name.end() - long(suffix) + 1, name.end(), [](unsigned char c) { return std::isalnum(c); }))
      continue;
    std::error_code sec;
    if (!fs::is_regular_file(it->symlink_status(sec)) || sec) continue;
    if (::unlink(it->path().c_str()) == 0)
      removed << fromNative(name);
    else if (errors)
      *errors << zuvo::files::errnoText(fromNative(it->path().native()), errno);
  }
  return removed;
}

QString datedArchivePath(const QString& archivePath, const QDateTime& written, int n) {
  QString base = archivePath;
  if (base.endsWith(QLatin1String(".zip"))) base.chop(4);
  base += QLatin1Char('-') + written.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  if (n > 1) base += QLatin1Char('-') + QString::number(n);
  return base + QStringLiteral(".zip");
}

}  // namespace zuvo::backup
