// One queue and one worker carry every message to the loggers, so lines keep the order
// in which they were logged whatever their kind; an error call waits until the worker has
// written it (and everything before it), an information call does not wait.
#include "common/Log.h"

#include "platform/core/ErrorReport.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <syslog.h>
#include <thread>
#include <vector>

namespace zuvo {
namespace {

using Clock = std::chrono::system_clock;

struct Entry {
  spdlog::level::level_enum level;
  bool toFile;
  Clock::time_point time;
  std::string text;
};

thread_local bool t_onWorker = false;

class LogCore {
 public:
  LogCore() {
    auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    console->set_pattern("%v");
    all_ = makeLogger({console});
    system_ = all_;
    worker_ = std::thread([this] { run(); });
    worker_.detach();
  }

  void configure(const std::string& logsFolder, const std::string& bundleIdentifier,
                 const std::string& programName, const LogOptions& options) {
    auto file = std::make_shared<LogFileSink>(logsFolder, bundleIdentifier, options.file);
    std::vector<spdlog::sink_ptr> systemSinks;
    if (options.console) {
      auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
      console->set_pattern("%v");
      systemSinks.push_back(console);
    }
    std::lock_guard config(configMutex_);
    // The old system-log sink calls closelog() when it goes: drop it before the new
    // one opens the log with its ident.
    all_.reset();
    system_.reset();
    if (options.systemLog)
      systemSinks.insert(systemSinks.begin(),
                         std::make_shared<spdlog::sinks::syslog_sink_mt>(programName, LOG_PID, LOG_USER, false));
    std::vector<spdlog::sink_ptr> allSinks = systemSinks;
    allSinks.push_back(file);
    all_ = makeLogger(std::move(allSinks));
    system_ = makeLogger(std::move(systemSinks));
  }

  // Returns the entry's number.
  std::uint64_t enqueue(spdlog::level::level_enum level, bool toFile, std::string text) {
    Entry entry{level, toFile, Clock::now(), std::move(text)};
    std::uint64_t number;
    {
      std::lock_guard lock(queueMutex_);
      queue_.push_back(std::move(entry));
      number = ++enqueued_;
    }
    queueCv_.notify_one();
    return number;
  }

  // An error: written before it returns. When nothing is queued or being written the
  // caller writes it itself (no hand-over to the worker); holding the loggers' lock
  // before the queue's is released keeps any later line behind it.
  void logNow(spdlog::level::level_enum level, bool toFile, std::string text) {
    if (!t_onWorker) {
      std::unique_lock lock(queueMutex_);
      if (queue_.empty() && written_ == enqueued_) {
        std::lock_guard config(configMutex_);
        lock.unlock();
        write(Entry{level, toFile, Clock::now(), std::move(text)});
        flushLoggers();
        return;
      }
    }
    waitFor(enqueue(level, toFile, std::move(text)));
  }

  void waitFor(std::uint64_t number) {
    if (t_onWorker) return;  // a sink logging from the worker must not wait for itself
    std::unique_lock lock(queueMutex_);
    doneCv_.wait(lock, [&] { return written_ >= number; });
  }

  void flush() {
    std::uint64_t number;
    {
      std::lock_guard lock(queueMutex_);
      number = enqueued_;
    }
    waitFor(number);
  }

 private:
  static std::shared_ptr<spdlog::logger> makeLogger(std::vector<spdlog::sink_ptr> sinks) {
    auto logger = std::make_shared<spdlog::logger>("zuvo", sinks.begin(), sinks.end());
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::off);  // the worker flushes after each batch
    return logger;
  }

  // Callers hold configMutex_.
  void write(const Entry& entry) noexcept {
    try {
      const auto& logger = entry.toFile ? all_ : system_;
      if (logger)
        logger->log(entry.time, spdlog::source_loc{}, entry.level,
                    spdlog::string_view_t(entry.text.data(), entry.text.size()));
    } catch (...) {
    }
  }

  void flushLoggers() noexcept {
    try {
      if (all_) all_->flush();
      if (system_) system_->flush();
    } catch (...) {
    }
  }

  void run() {
    t_onWorker = true;
    std::deque<Entry> batch;
    for (;;) {
      std::uint64_t last;
      {
        std::unique_lock lock(queueMutex_);
        queueCv_.wait(lock, [&] { return !queue_.empty(); });
        batch.swap(queue_);
        last = enqueued_;
      }
      {
        std::lock_guard config(configMutex_);
        for (const Entry& entry : batch) write(entry);
        flushLoggers();
      }
      batch.clear();
      {
        std::lock_guard lock(queueMutex_);
        written_ = last;
      }
      doneCv_.notify_all();
    }
  }

  std::mutex queueMutex_;
  std::condition_variable queueCv_, doneCv_;
  std::deque<Entry> queue_;
  std::uint64_t enqueued_ = 0, written_ = 0;
  std::mutex configMutex_;
  std::shared_ptr<spdlog::logger> all_, system_;
  std::thread worker_;
};

// Never destroyed: log calls may come from other threads and static destructors
// while the program ends; pending lines are written at exit.
LogCore& core() {
  static LogCore* instance = [] {
    auto* made = new LogCore;
    std::atexit([] { core().flush(); });
    return made;
  }();
  return *instance;
}

std::string utf8(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// Log calls never throw: a failure to log must not end the caller's work.
template <typename F>
void guarded(F&& f) noexcept {
  try {
    f();
  } catch (...) {
  }
}

void logWaiting(spdlog::level::level_enum level, bool toFile, std::string text) {
  core().logNow(level, toFile, std::move(text));
}

}  // namespace

void setupLog(const QString& logsFolder, const QString& bundleIdentifier, const QString& programName,
              const LogOptions& options) {
  guarded([&] { core().configure(utf8(logsFolder), utf8(bundleIdentifier), utf8(programName), options); });
  setErrorReporter([](const QString& message) { logError(message); });
}

void logError(const QString& message) {
  guarded([&] { logWaiting(spdlog::level::err, true, utf8(message)); });
}
void logError(std::string_view message) {
  guarded([&] { logWaiting(spdlog::level::err, true, std::string(message)); });
}
void logError(const char* message) { logError(std::string_view(message ? message : "")); }
void logInfo(const QString& message) {
  guarded([&] { core().enqueue(spdlog::level::info, true, utf8(message)); });
}
void logInfo(std::string_view message) {
  guarded([&] { core().enqueue(spdlog::level::info, true, std::string(message)); });
}
void logInfo(const char* message) { logInfo(std::string_view(message ? message : "")); }
void logSystem(const QString& message) {
  guarded([&] { logWaiting(spdlog::level::err, false, utf8(message)); });
}

void flushLog() {
  guarded([] { core().flush(); });
}

QString loggableValue(const QString& value) {
  constexpr qsizetype kShown = 1024;
  QString escaped;
  escaped.reserve(value.size());
  for (const QChar c : value) {
    const char16_t u = c.unicode();
    // C0, DEL, C1 and the Unicode line and paragraph separators: anything a reader of the
    // log could take for the end of a line.
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029) {
      if (u == '\n') escaped += QLatin1String("\\n");
      else if (u == '\r') escaped += QLatin1String("\\r");
      else if (u == '\t') escaped += QLatin1String("\\t");
      else escaped += QStringLiteral("\\u%1").arg(unsigned(u), 4, 16, QLatin1Char('0'));
    } else {
      escaped += c;
    }
  }
  const QByteArray bytes = escaped.toUtf8();
  if (bytes.size() <= kShown) return escaped;
  qsizetype cut = kShown;
  while (cut > 0 && (quint8(bytes[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
  return QString::fromUtf8(bytes.left(cut)) + QStringLiteral("... (%1 more bytes)").arg(bytes.size() - cut);
}

}  // namespace zuvo
