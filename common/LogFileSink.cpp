#include "common/LogFileSink.h"

#include "common/LogFileFormatter.h"
#include "platform/fs/Files.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zuvo {
namespace {

using Clock = std::chrono::system_clock;
constexpr std::size_t kBufferLimit = 64 * 1024;

int flagFor(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::err:
    case spdlog::level::critical: return LogFlagError;
    case spdlog::level::warn: return LogFlagWarning;
    case spdlog::level::info: return LogFlagInfo;
    case spdlog::level::debug: return LogFlagDebug;
    default: return LogFlagVerbose;
  }
}

bool parseDigits(std::string_view s, std::size_t pos, std::size_t count, int& value) {
  if (pos + count > s.size()) return false;
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

// "yyyy-MM-dd--HH-mm-ss-SSS[ N]" (the part between the prefix and ".log").
bool parseStamp(std::string_view s, Clock::time_point& created, int& attempt) {
  static constexpr std::string_view shape = "dddd-dd-dd--dd-dd-dd-ddd";
  if (s.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i)
    if ((shape[i] == 'd') != (s[i] >= '0' && s[i] <= '9') || (shape[i] != 'd' && s[i] != shape[i]))
      return false;
  std::tm tm{};
  int ms = 0;
  parseDigits(s, 0, 4, tm.tm_year);
  parseDigits(s, 5, 2, tm.tm_mon);
  parseDigits(s, 8, 2, tm.tm_mday);
  parseDigits(s, 12, 2, tm.tm_hour);
  parseDigits(s, 15, 2, tm.tm_min);
  parseDigits(s, 18, 2, tm.tm_sec);
  parseDigits(s, 21, 3, ms);
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  attempt = 1;
  const std::string_view rest = s.substr(shape.size());
  if (!rest.empty()) {
    if (rest.size() < 2 || rest.size() > 10 || rest[0] != ' ' ||
        !parseDigits(rest, 1, rest.size() - 1, attempt))
      return false;
  }
  created = Clock::from_time_t(timegm(&tm)) + std::chrono::milliseconds(ms);
  return true;
}

void appendPadded(std::string& out, int value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
  out += digits;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string withoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

struct LogFileSink::OwnFile {
  std::string path;
  Clock::time_point created;
  int attempt = 1;
  std::uint64_t size = 0;
};

LogFileSink::LogFileSink(std::string logsDirectory, std::string bundleIdentifier, LogFileOptions options)
    : directory_(withoutTrailingSlash(std::move(logsDirectory))),
      bundleIdentifier_(std::move(bundleIdentifier)),
      options_(std::move(options)) {
  try {
    ensureFile();
  } catch (...) {
  }
}

LogFileSink::~LogFileSink() {
  try {
    writeBuffer();
  } catch (...) {
  }
  closeFile();
}

std::string LogFileSink::currentLogFilePath() {
  std::lock_guard lock(mutex_);
  return fd_ >= 0 ? path_ : std::string();
}

std::string LogFileSink::logFileName(const std::string& bundleIdentifier, Clock::time_point created,
                                     int attempt) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(created).time_since_epoch().count();
  const std::time_t secs = static_cast<std::time_t>((ms - ((ms % 1000) + 1000) % 1000) / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  std::string name = bundleIdentifier;
  name += ' ';
  appendPadded(name, tm.tm_year + 1900, 4);
  name += '-';
  appendPadded(name, tm.tm_mon + 1, 2);
  name += '-';
  appendPadded(name, tm.tm_mday, 2);
  name += "--";
  appendPadded(name, tm.tm_hour, 2);
  name += '-';
  appendPadded(name, tm.tm_min, 2);
  name += '-';
  appendPadded(name, tm.tm_sec, 2);
  name += '-';
  appendPadded(name, static_cast<int>(((ms % 1000) + 1000) % 1000), 3);
  if (attempt > 1) name += ' ' + std::to_string(attempt);
  name += ".log";
  return name;
}

Clock::time_point LogFileSink::now() const { return options_.clock ? options_.clock() : Clock::now(); }

void LogFileSink::sink_it_(const spdlog::details::log_msg& msg) {
  if (fd_ >= 0 && options_.rollingFrequency.count() > 0 && now() - created_ >= options_.rollingFrequency)
    roll();
  if (fd_ < 0 && !ensureFile()) return;
  const std::size_t before = buffer_.size();
  LogFileFormatter::appendLogMessage(buffer_, flagFor(msg.level), msg.time,
                                     std::string_view(msg.payload.data(), msg.payload.size()));
  size_ += buffer_.size() - before;
  if (options_.maximumFileSize > 0 && size_ >= options_.maximumFileSize)
    roll();
  else if (buffer_.size() >= kBufferLimit)
    writeBuffer();
}

void LogFileSink::flush_() { writeBuffer(); }

void LogFileSink::writeBuffer() {
  if (buffer_.empty() || fd_ < 0) return;
  // A file deleted under us (the folder removed) would swallow every line: start a new one.
  struct stat st {};
  if (fstat(fd_, &st) == 0 && st.st_nlink == 0) {
    std::string pending;
    pending.swap(buffer_);
    closeFile();
    if (!ensureFile()) return;
    buffer_ = std::move(pending);
    size_ += buffer_.size();
  }
  if (!writeAll(fd_, buffer_.data(), buffer_.size())) closeFile();  // next line tries a new file
  buffer_.clear();
}

void LogFileSink::roll() {
  writeBuffer();
  closeFile();
  if (createFile()) deleteOldFiles();
}

void LogFileSink::closeFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = buffer_.size();
}

bool LogFileSink::ensureFile() {
  if (fd_ >= 0) return true;
  // The folder holds patients' document names: keep it owner-only even when an older
  // version made it wider. A folder that cannot be tightened (another user's, a link to
  // one) is still written to.
  const QString directory = QString::fromStdString(directory_);
  if (!files::makeOwnerOnlyFolder(directory) && !files::makeFolderPath(directory)) return false;
  if (!reuseNewest() && !createFile()) return false;
  deleteOldFiles();
  return true;
}

std::vector<LogFileSink::OwnFile> LogFileSink::ownFiles() const {
  std::vector<OwnFile> files;
  DIR* dir = opendir(directory_.c_str());
  if (dir == nullptr) return files;
  const std::string prefix = bundleIdentifier_ + ' ';
  static constexpr std::string_view suffix = ".log";
  while (dirent* entry = readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() < prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - suffix.size()) != suffix)
      continue;
    struct stat st {};
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    OwnFile file;
    file.path = directory_ + '/' + entry->d_name;
    file.size = static_cast<std::uint64_t>(st.st_size);
    const std::string_view stamp =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (!parseStamp(stamp, file.created, file.attempt))
      file.created = Clock::time_point(std::chrono::seconds(st.st_mtim.tv_sec) +
                                       std::chrono::nanoseconds(st.st_mtim.tv_nsec));
    files.push_back(std::move(file));
  }
  closedir(dir);
  // Newest first.
  std::sort(files.begin(), files.end(), [](const OwnFile& a, const OwnFile& b) {
    if (a.created != b.created) return a.created > b.created;
    if (a.attempt != b.attempt) return a.attempt > b.attempt;
    return a.path > b.path;
  });
  return files;
}

bool LogFileSink::reuseNewest() {
  const std::vector<OwnFile> files = ownFiles();
  if (files.empty()) return false;
  const OwnFile& newest = files.front();
  if (options_.maximumFileSize > 0 && newest.size >= options_.maximumFileSize) return false;
  if (options_.rollingFrequency.count() > 0 && now() - newest.created >= options_.rollingFrequency)
    return false;
  const int fd = ::open(newest.path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  if ((st.st_mode & 077) != 0 && st.st_uid == geteuid()) fchmod(fd, 0600);
  fd_ = fd;
  path_ = newest.path;
  created_ = newest.created;
  size_ = static_cast<std::uint64_t>(st.st_size) + buffer_.size();
  return true;
}

bool LogFileSink::createFile() {
  const Clock::time_point created = now();
  for (int attempt = 1; attempt < 1000; ++attempt) {
    const std::string path = directory_ + '/' + logFileName(bundleIdentifier_, created, attempt);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      path_ = path;
      created_ = created;
      size_ = buffer_.size();
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void LogFileSink::deleteOldFiles() {
  std::uint64_t total = size_;
  std::size_t count = 1;  // the current file, always kept
  for (const OwnFile& file : ownFiles()) {
    if (file.path == path_) continue;
    ++count;
    total += file.size;
    const bool tooMany = options_.maximumNumberOfLogFiles > 0 && count > options_.maximumNumberOfLogFiles;
    const bool tooBig = options_.logFilesDiskQuota > 0 && total > options_.logFilesDiskQuota;
    if (tooMany || tooBig) ::unlink(file.path.c_str());
  }
}

}  // namespace zuvo
