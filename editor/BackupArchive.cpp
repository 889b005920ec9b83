#include "editor/BackupArchive.h"
#include "platform/fs/Files.h"

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
#include <future>
#include <memory>
#include <optional>
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

// "<name>.zip.XXXXXX" (ours), or that followed by ".XXXXXX" (libzip's own while it writes).
bool isTemporaryName(const std::string& name) {
  const size_t at = name.rfind(".zip.");
  if (at == std::string::npos || at == 0) return false;
  const std::string rest = name.substr(at + 5);
  auto random = [](const std::string& part) {
    return part.size() == sizeof kTempSuffix - 2 &&
           std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isalnum(c); });
  };
  if (random(rest)) return true;
  const size_t dot = rest.find('.');
  return dot != std::string::npos && random(rest.substr(0, dot)) && random(rest.substr(dot + 1));
}

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

// A file deflated whole on a worker: raw deflate at the default level, with its CRC.
struct Deflated {
  std::vector<unsigned char> data;
  uLong crc = crc32(0, nullptr, 0);
  zip_uint64_t size = 0;
  int error = 0;  // errno of a failed read
};

Deflated deflateFileOrFail(const fs::path& path);

// Never throws: it runs inside libzip's callbacks.
Deflated deflateFile(const fs::path& path) {
  try {
    return deflateFileOrFail(path);
  } catch (const std::bad_alloc&) {
    Deflated out;
    out.error = ENOMEM;
    return out;
  }
}

Deflated deflateFileOrFail(const fs::path& path) {
  Deflated out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    out.error = errno;
    return out;
  }
  z_stream z{};
  // Level 6 is deflate's default; windowBits -15 gives the raw stream a zip entry holds.
  if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    ::close(fd);
    out.error = ENOMEM;
    return out;
  }
  std::vector<unsigned char> in(256 * 1024);
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH) {
    const ssize_t n = ::read(fd, in.data(), in.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.error = errno;
      break;
    }
    out.crc = crc32(out.crc, in.data(), uInt(n));
    out.size += zip_uint64_t(n);
    flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = in.data();
    z.avail_in = uInt(n);
    do {
      const size_t used = out.data.size();
      out.data.resize(used + std::max<size_t>(deflateBound(&z, uLong(n)), 64 * 1024));
      z.next_out = out.data.data() + used;
      z.avail_out = uInt(out.data.size() - used);
      deflate(&z, flush);
      out.data.resize(out.data.size() - z.avail_out);
    } while (z.avail_in > 0 || (flush == Z_FINISH && z.avail_out == 0));
  }
  deflateEnd(&z);
  ::close(fd);
  return out;
}

// Deflates the files to be compressed a few ahead of libzip, which writes entries one by one:
// while it encrypts and writes one, the next ones are deflated on other cores.
class DeflatePipeline {
 public:
  static constexpr size_t kAhead = 3;

  size_t add(fs::path path) {
    paths_.push_back(std::move(path));
    jobs_.emplace_back();
    results_.emplace_back();
    return paths_.size() - 1;
  }
  // The file's deflated bytes, once ready; the following files are started meanwhile.
  Deflated& result(size_t k) {
    for (size_t i = k; i < std::min(k + kAhead + 1, paths_.size()); ++i) {
      if (jobs_[i].valid() || results_[i]) continue;
      try {
        jobs_[i] = std::async(std::launch::async, deflateFile, paths_[i]);
      } catch (const std::system_error&) {  // no thread to be had: deflate it here
        results_[i] = deflateFile(paths_[i]);
      }
    }
    if (!results_[k]) results_[k] = jobs_[k].get();
    return *results_[k];
  }
  bool done(size_t k) const { return results_[k].has_value(); }
  const Deflated& doneResult(size_t k) const { return *results_[k]; }
  void release(size_t k) { std::vector<unsigned char>().swap(results_[k]->data); }

 private:
  std::vector<fs::path> paths_;
  std::vector<std::future<Deflated>> jobs_;
  std::vector<std::optional<Deflated>> results_;
};

// A libzip source that hands over a file deflated by the pipeline, so that libzip only
// encrypts it. Every call comes from zip_close on the thread that writes the archive.
struct DeflatedSource {
  std::shared_ptr<DeflatePipeline> pipeline;
  size_t index;
  zip_uint64_t fileSize;
  time_t mtime;
  mode_t mode;
  size_t offset = 0;
  zip_error_t error;
};

zip_int64_t deflatedSourceCall(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  auto* s = static_cast<DeflatedSource*>(userdata);
  switch (cmd) {
    case ZIP_SOURCE_OPEN: {
      const Deflated& d = s->pipeline->result(s->index);
      if (d.error) {
        zip_error_set(&s->error, ZIP_ER_READ, d.error);
        return -1;
      }
      s->offset = 0;
      return 0;
    }
    case ZIP_SOURCE_READ: {
      const Deflated& d = s->pipeline->doneResult(s->index);
      const size_t n = std::min<size_t>(len, d.data.size() - s->offset);
      std::memcpy(data, d.data.data() + s->offset, n);
      s->offset += n;
      return zip_int64_t(n);
    }
    case ZIP_SOURCE_CLOSE:
      s->pipeline->release(s->index);
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* st = static_cast<zip_stat_t*>(data);
      zip_stat_init(st);
      // Deflated already: libzip must not compress again.
      st->valid = ZIP_STAT_COMP_METHOD | ZIP_STAT_SIZE | ZIP_STAT_MTIME;
      st->comp_method = ZIP_CM_DEFLATE;
      st->size = s->fileSize;
      st->mtime = s->mtime;
      if (s->pipeline->done(s->index)) {
        const Deflated& d = s->pipeline->doneResult(s->index);
        st->valid |= ZIP_STAT_CRC | ZIP_STAT_COMP_SIZE;
        st->size = d.size;
        st->crc = zip_uint32_t(d.crc);
        st->comp_size = s->offset ? s->offset : d.data.size();
      }
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_GET_FILE_ATTRIBUTES: {
      // The file's mode, as libzip's file source gives it: extracted letters stay private.
      auto* a = static_cast<zip_file_attributes_t*>(data);
      a->valid |= ZIP_FILE_ATTRIBUTES_HOST_SYSTEM | ZIP_FILE_ATTRIBUTES_EXTERNAL_FILE_ATTRIBUTES;
      a->host_system = ZIP_OPSYS_UNIX;
      a->external_file_attributes = zip_uint32_t(s->mode) << 16 | ((s->mode & S_IWUSR) ? 0 : 1);
      return 0;
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&s->error, data, len);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&s->error);
      delete s;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                            ZIP_SOURCE_GET_FILE_ATTRIBUTES, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

zip_source_t* deflatedSource(zip_t* za, const std::shared_ptr<DeflatePipeline>& pipeline, const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    zip_error_set(zip_get_error(za), ZIP_ER_OPEN, errno);
    return nullptr;
  }
  auto* s = new DeflatedSource{pipeline, pipeline->add(path), zip_uint64_t(st.st_size), st.st_mtim.tv_sec,
                               st.st_mode, 0, {}};
  zip_error_init(&s->error);
  zip_source_t* source = zip_source_function(za, deflatedSourceCall, s);
  if (!source) {
    zip_error_fini(&s->error);
    delete s;
  }
  return source;
}

bool addEntries(zip_t* za, const std::vector<Entry>& entries, const QByteArray& password,
                QString* error) {
  const auto pipeline = std::make_shared<DeflatePipeline>();
  for (const Entry& e : entries) {
    zip_int64_t index;
    bool deflate = false;
    if (e.folder) {
      index = zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_GUESS);
    } else {
      deflate = worthDeflating(e.path);
      zip_source_t* source = deflate ? deflatedSource(za, pipeline, e.path) : zip_source_file(za, e.path.c_str(), 0, 0);
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
    // A deflated source keeps libzip's default method, which takes the source's own.
    if ((!deflate && zip_set_file_compression(za, zip_uint64_t(index), ZIP_CM_STORE, 0) != 0) ||
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
    if (!isTemporaryName(name)) continue;
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
