// The error lines about refused requests, bounded so that a flood of requests cannot flood
// the log: a burst of kBurst lines, then one line for every kRefill that passes. Lines held
// back are counted, and one line says how many as soon as a line may be written again (a
// timer makes sure of it when no further refusal comes).
#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <mutex>

namespace zuvo::bridge {

class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kBurst = 20;
  static constexpr std::chrono::milliseconds kRefill{5000};

  struct Services {
    std::function<void(const QString& line)> write;
    std::function<Clock::time_point()> now;
    // Runs fn once after the delay, on any thread.
    std::function<void(std::chrono::milliseconds delay, std::function<void()> fn)> later;
  };

  explicit RefusalLog(Services services);

  // Any thread.
  void refused(const QString& line);

  // The line for `count` lines held back.
  static QString heldBackLine(qint64 count);

 private:
  void refill(Clock::time_point now);
  std::chrono::milliseconds untilNextLine(Clock::time_point now) const;
  void flush();

  Services services_;
  std::mutex mutex_;
  int lines_ = kBurst;  // lines that may be written now
  Clock::time_point refilled_;
  qint64 heldBack_ = 0;
  bool flushPending_ = false;
};

// The bridge's own: error lines of the log, the timer on the main thread.
RefusalLog& bridgeRefusalLog();

}  // namespace zuvo::bridge
