#include "common/EditorNotification.h"

#include "platform/core/ErrorReport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonObject>
#include <QVariantList>
#include <QVariantMap>

#include <cmath>
#include <mutex>

namespace zuvo {

QVariant editorNotificationValue(const QJsonValue& value) {
  switch (value.type()) {
    case QJsonValue::Bool:
      return QVariant(value.toBool());
    case QJsonValue::Double: {
      const double d = value.toDouble();
      // Integral and within the 64-bit range (2^63 itself is not).
      if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
        return QVariant(qint64(d));
      return QVariant(d);
    }
    case QJsonValue::String:
      return QVariant(value.toString());
    case QJsonValue::Array: {
      QVariantList list;
      for (const QJsonValue& v : value.toArray()) list.append(editorNotificationValue(v));
      return QVariant(list);
    }
    case QJsonValue::Object: {
      QVariantMap map;
      const QJsonObject o = value.toObject();
      for (auto it = o.begin(); it != o.end(); ++it) map.insert(it.key(), editorNotificationValue(it.value()));
      return QVariant(map);
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
      break;
  }
  return QVariant(QString());
}

namespace {

// A connection of our own rather than the shared session-bus one, which stays dead once the
// bus has dropped it: a lost connection is replaced at the next notification.
QDBusConnection notificationBus() {
  static std::mutex mutex;
  static QString name;
  static int generation = 0;
  static bool reported = false;
  std::lock_guard lock(mutex);
  bool lost = false;
  if (!name.isEmpty()) {
    QDBusConnection current(name);
    if (current.isConnected()) return current;
    QDBusConnection::disconnectFromBus(name);
    lost = true;
  }
  name = QStringLiteral("zuvo-editor-notification-%1").arg(++generation);
  QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
  if (bus.isConnected()) {
    if (lost || reported) reportError(QStringLiteral("The connection to the session bus was lost; connected again"));
    reported = false;
  } else if (!reported) {
    reportError(QStringLiteral("The session bus cannot be reached: %1").arg(bus.lastError().message()));
    reported = true;
  }
  return bus;
}

}  // namespace

bool postEditorNotification(const NotificationUserInfo& userInfo) {
  QDBusConnection bus = notificationBus();
  if (!bus.isConnected()) return false;
  QVariantMap info;
  for (const auto& [key, value] : userInfo) info.insert(key, editorNotificationValue(value));
  QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(kEditorNotificationPath),
                                                   QLatin1String(kEditorNotificationInterface),
                                                   QLatin1String(kEditorNotificationName));
  signal << QString::fromLatin1(kEditorNotificationObject) << info;
  return bus.send(signal);
}

bool marshalEditorNotification(const NotificationUserInfo& userInfo) {
  QVariantMap info;
  for (const auto& [key, value] : userInfo) info.insert(key, editorNotificationValue(value));
  QDBusArgument argument;  // a marshaller into a message of the bus library
  argument << QString::fromLatin1(kEditorNotificationObject) << info;
  return argument.currentSignature() == QLatin1String("sa{sv}");
}

}  // namespace zuvo
