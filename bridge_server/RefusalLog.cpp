#include "bridge_server/RefusalLog.h"

#include "common/Log.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace zuvo::bridge {

RefusalLog::RefusalLog(Services services) : services_(std::move(services)), refilled_(services_.now()) {}

void RefusalLog::refill(Clock::time_point now) {
  if (lines_ >= kBurst) {
    refilled_ = now;
    return;
  }
  const auto steps = (now - refilled_) / kRefill;
  if (steps <= 0) return;
  lines_ = int(std::min<decltype(steps)>(kBurst, lines_ + steps));
  refilled_ = lines_ >= kBurst ? now : refilled_ + steps * kRefill;
}

std::chrono::milliseconds RefusalLog::untilNextLine(Clock::time_point now) const {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(kRefill - (now - refilled_));
  return std::max(left, std::chrono::milliseconds(1));
}

void RefusalLog::refused(const QString& line) {
  bool admitted = false, schedule = false;
  qint64 held = 0;
  std::chrono::milliseconds wait{0};
  {
    std::lock_guard lock(mutex_);
    const Clock::time_point now = services_.now();
    refill(now);
    if (lines_ > 0) {
      --lines_;
      admitted = true;
      held = std::exchange(heldBack_, 0);
    } else {
      ++heldBack_;
      if (!flushPending_) {
        flushPending_ = schedule = true;
        wait = untilNextLine(now);
      }
    }
  }
  if (admitted) {
    if (held) services_.write(heldBackLine(held));
    services_.write(line);
  } else if (schedule && services_.later) {
    services_.later(wait, [this] { flush(); });
  }
}

void RefusalLog::flush() {
  qint64 held = 0;
  std::chrono::milliseconds wait{0};
  {
    std::lock_guard lock(mutex_);
    flushPending_ = false;
    if (heldBack_ == 0) return;
    const Clock::time_point now = services_.now();
    refill(now);
    if (lines_ > 0) {
      --lines_;
      held = std::exchange(heldBack_, 0);
    } else {
      flushPending_ = true;
      wait = untilNextLine(now);
    }
  }
  if (held) services_.write(heldBackLine(held));
  else if (services_.later) services_.later(wait, [this] { flush(); });
}

QString RefusalLog::heldBackLine(qint64 count) {
  return QStringLiteral("Refused requests not logged since the last such line: %1 (at most %2 lines at once, then one every %3 s)")
      .arg(count)
      .arg(kBurst)
      .arg(kRefill.count() / 1000);
}

RefusalLog& bridgeRefusalLog() {
  static RefusalLog log({[](const QString& line) { logError(line); }, [] { return RefusalLog::Clock::now(); },
                         [](std::chrono::milliseconds delay, std::function<void()> fn) {
                           // Without an event loop the count goes out with the next line.
                           QCoreApplication* app = QCoreApplication::instance();
                           if (!app) return;
                           QMetaObject::invokeMethod(
                               app, [app, delay, fn = std::move(fn)] { QTimer::singleShot(delay, app, fn); },
                               Qt::QueuedConnection);
                         }});
  return log;
}

}  // namespace zuvo::bridge
