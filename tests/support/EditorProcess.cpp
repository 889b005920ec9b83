#include "support/EditorProcess.h"

#include "support/TestSupport.h"

#include "platform/fs/Paths.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace zuvo::test {
namespace {

// The number of match rules the connection of this process holds on the bus; -1 if none.
int matchRulesOfProcess(qint64 pid) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QStringList names = bus.interface()->registeredServiceNames().value();
  for (const QString& name : names) {
    if (!name.startsWith(QLatin1Char(':'))) continue;
    if (bus.interface()->servicePid(name).value() != pid) continue;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Debug.Stats"), QStringLiteral("GetConnectionStats"));
    call << name;
    const QDBusMessage reply = bus.call(call);
    // A bus without statistics: the connection is there, which is the best that can be known.
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() != QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"))
      return 1;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return 0;
    const QVariantMap stats = qdbus_cast<QVariantMap>(reply.arguments().first());
    return stats.value(QStringLiteral("MatchRules")).toInt();
  }
  return -1;
}

}  // namespace

bool receivesNotifications(qint64 pid) { return matchRulesOfProcess(pid) > 0; }

QString editorDataFolder() { return zuvo::paths::dataFolder() + QStringLiteral("/Data"); }

EditorProcess::EditorProcess() : env_(QProcessEnvironment::systemEnvironment()) {
  // Alerts are answered at once and kept for the test to read, never shown.
  if (!env_.contains(QStringLiteral("ZUVO_ALERT_LOG")))
    env_.insert(QStringLiteral("ZUVO_ALERT_LOG"), makeTempDir(QStringLiteral("alerts")) + QStringLiteral("/alerts.jsonl"));
}

QString EditorProcess::alertLogPath() const { return env_.value(QStringLiteral("ZUVO_ALERT_LOG")); }

EditorProcess::~EditorProcess() { stop(); }

bool EditorProcess::start(std::chrono::milliseconds timeout) {
  process_.setProcessEnvironment(env_);
  process_.setProcessChannelMode(QProcess::SeparateChannels);
  process_.setStandardOutputFile(QProcess::nullDevice());
  process_.start(binaryPath(QStringLiteral("editor/ZuvoEditor")), {});
  if (!process_.waitForStarted()) return false;
  const qint64 id = process_.processId();
  return waitUntil([&] { return !isRunning() || matchRulesOfProcess(id) > 0; }, timeout) &&
         isRunning();
}

void EditorProcess::stop() {
  if (process_.state() == QProcess::NotRunning) return;
  process_.terminate();
  if (!process_.waitForFinished(5000)) {
    process_.kill();
    process_.waitForFinished();
  }
}

bool EditorProcess::isRunning() const { return process_.state() == QProcess::Running; }
qint64 EditorProcess::pid() const { return process_.processId(); }

void EditorProcess::post(const QVariantMap& userInfo, const QString& object) {
  QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/com/roza/zuvoeditor"),
                                                   QStringLiteral("com.roza.zuvoeditor"),
                                                   QStringLiteral("zuvoeditor"));
  signal << object << QVariant::fromValue(userInfo);
  QDBusConnection::sessionBus().send(signal);
}

QString EditorProcess::output() {
  stderr_ += process_.readAllStandardError();
  return QString::fromUtf8(stderr_);
}

bool EditorProcess::waitForOutput(const QString& text, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return output().contains(text); }, timeout);
}

bool EditorProcess::waitForOutput(const QString& text, int times, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return output().count(text) >= times; }, timeout);
}

}  // namespace zuvo::test
