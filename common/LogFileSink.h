// The rolling file log of one program in the shared Logs folder.
//
// Files are named "<bundle id> <GMT yyyy-MM-dd--HH-mm-ss-SSS>.log" (" 2", " 3", ... before
// ".log" when that name is taken). A file is rolled once it is older than the rolling
// frequency or has grown past the maximum size; after each new file the program's oldest
// files are deleted down to the file count and disk quota. Only files whose names begin
// with the bundle id and a blank are counted, reused or deleted, so the programs can share
// the folder. The folder is made 0700, the files 0600.
#pragma once

#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace zuvo {

struct LogFileOptions {
  std::uint64_t maximumFileSize = 1024 * 1024;          // 0: no limit
  std::chrono::seconds rollingFrequency{604800};        // 0: never by age
  std::size_t maximumNumberOfLogFiles = 15;             // 0: no limit
  std::uint64_t logFilesDiskQuota = 20 * 1024 * 1024;  // 0: no limit
  // The clock for file names and ages; empty: the system clock.
  std::function<std::chrono::system_clock::time_point()> clock;
};

class LogFileSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // Creates the folder (and its missing parents) 0700 and opens the log file: the
  // program's newest file while it is under both limits, else a new one. Never throws;
  // when the folder or file cannot be had, each later line tries again.
  LogFileSink(std::string logsDirectory, std::string bundleIdentifier, LogFileOptions options = {});
  ~LogFileSink() override;

  // Path of the file being written (empty when none is open).
  std::string currentLogFilePath();

  // "<bundle id> <GMT yyyy-MM-dd--HH-mm-ss-SSS>.log", or "... <attempt>.log" from attempt 2.
  static std::string logFileName(const std::string& bundleIdentifier,
                                 std::chrono::system_clock::time_point created, int attempt = 1);

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override;

 private:
  struct OwnFile;
  std::chrono::system_clock::time_point now() const;
  bool ensureFile();
  bool reuseNewest();
  bool createFile();
  void roll();
  void writeBuffer();
  void closeFile();
  void deleteOldFiles();
  std::vector<OwnFile> ownFiles() const;

  const std::string directory_;
  const std::string bundleIdentifier_;
  const LogFileOptions options_;
  int fd_ = -1;
  std::string path_;
  std::chrono::system_clock::time_point created_{};
  std::uint64_t size_ = 0;  // bytes in the file, counting the unwritten buffer
  std::string buffer_;
};

}  // namespace zuvo
