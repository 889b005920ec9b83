#include "platform/core/TestHooks.h"

// A deployment build has no seams: nothing here is compiled.
#ifdef ZUVO_TEST_HOOKS

#include <QByteArray>
#include <QFile>
#include <mutex>

namespace zuvo::testhooks {
inline namespace seams {
namespace {

// A setter's value wins over the environment; setting an empty value goes back to it.
struct Hook {
  const char* variable;
  std::optional<QString> value;
};

std::mutex g_mutex;
Hook g_alertLog{"ZUVO_ALERT_LOG", {}};
Hook g_hold{"ZUVO_ALERT_HOLD", {}};
Hook g_alertDelay{"ZUVO_ALERT_DELAY_MS", {}};
Hook g_alertAnswer{"ZUVO_ALERT_ANSWER", {}};
Hook g_caFile{"ZUVO_TEST_CA_FILE", {}};
Hook g_timeout{"ZUVO_HTTP_TIMEOUT_MS", {}};
Hook g_requestTimeout{"ZUVO_HTTP_REQUEST_TIMEOUT_MS", {}};
Hook g_watcher{"ZUVO_WATCHER_BACKEND", {}};
Hook g_retryPause{"ZUVO_STARTUP_RETRY_MS", {}};
Hook g_officeHeadless{"ZUVO_OFFICE_HEADLESS", {}};
Hook g_officeTimeout{"ZUVO_OFFICE_TIMEOUT_MS", {}};

QString read(const Hook& hook) {
  std::lock_guard lock(g_mutex);
  if (hook.value) return *hook.value;
  return QFile::decodeName(qgetenv(hook.variable));
}

void write(Hook& hook, const QString& value) {
  std::lock_guard lock(g_mutex);
  if (value.isEmpty())
    hook.value.reset();
  else
    hook.value = value;
}

}  // namespace

QString alertLogFile() { return read(g_alertLog); }
void setAlertLogFile(const QString& file) { write(g_alertLog, file); }

bool holdAlerts() { return read(g_hold) == QStringLiteral("1"); }
void setHoldAlerts(bool hold) { write(g_hold, hold ? QStringLiteral("1") : QString()); }
QString alertAnswer() { return read(g_alertAnswer); }
void setAlertAnswer(const QString& button) { write(g_alertAnswer, button); }

QString extraCaFile() { return read(g_caFile); }
void setExtraCaFile(const QString& file) { write(g_caFile, file); }

namespace {
std::optional<std::chrono::milliseconds> readMilliseconds(const Hook& hook) {
  bool ok = false;
  const qint64 ms = read(hook).toLongLong(&ok);
  if (ok && ms > 0) return std::chrono::milliseconds(ms);
  return std::nullopt;
}
void writeMilliseconds(Hook& hook, std::optional<std::chrono::milliseconds> value) {
  write(hook, value ? QString::number(value->count()) : QString());
}
}  // namespace

std::optional<std::chrono::milliseconds> alertDelay() { return readMilliseconds(g_alertDelay); }
void setAlertDelay(std::optional<std::chrono::milliseconds> delay) { writeMilliseconds(g_alertDelay, delay); }

std::optional<std::chrono::milliseconds> httpTimeout() { return readMilliseconds(g_timeout); }
void setHttpTimeout(std::optional<std::chrono::milliseconds> timeout) { writeMilliseconds(g_timeout, timeout); }

std::optional<std::chrono::milliseconds> httpRequestTimeout() { return readMilliseconds(g_requestTimeout); }

std::optional<std::chrono::milliseconds> startupRetryPause() { return readMilliseconds(g_retryPause); }

bool officeHeadless() { return read(g_officeHeadless) == QStringLiteral("1"); }

std::optional<std::chrono::milliseconds> officeTimeout() { return readMilliseconds(g_officeTimeout); }

bool forceInotifyWatcher() { return read(g_watcher) == QStringLiteral("inotify"); }
void setForceInotifyWatcher(bool force) { write(g_watcher, force ? QStringLiteral("inotify") : QString()); }

}  // namespace seams
}  // namespace zuvo::testhooks

#endif
