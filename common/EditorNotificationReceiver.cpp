#include "common/EditorNotificationReceiver.h"

#include "platform/core/ErrorReport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QStringList>
#include <cmath>

namespace zuvo {
namespace {

const QString kPath = QStringLiteral("/com/roza/zuvoeditor");
const QString kInterface = QStringLiteral("com.roza.zuvoeditor");
const QString kMember = QStringLiteral("zuvoeditor");
const QString kObject = QStringLiteral("com.roza.zuvoeditor");

QVariant plainValue(const QVariant& value);

// Containers inside a variant arrive as raw D-Bus arguments; turn them into lists and maps.
QVariant fromArgument(const QDBusArgument& arg) {
  switch (arg.currentType()) {
    case QDBusArgument::BasicType:
    case QDBusArgument::VariantType:
      return plainValue(arg.asVariant());
    case QDBusArgument::ArrayType: {
      QVariantList list;
      arg.beginArray();
      while (!arg.atEnd()) list.append(fromArgument(arg));
      arg.endArray();
      return list;
    }
    case QDBusArgument::MapType: {
      QVariantMap map;
      arg.beginMap();
      while (!arg.atEnd()) {
        arg.beginMapEntry();
        const QString key = plainValue(arg.asVariant()).toString();
        map.insert(key, fromArgument(arg));
        arg.endMapEntry();
      }
      arg.endMap();
      return map;
    }
    case QDBusArgument::StructureType: {
      QVariantList fields;
      arg.beginStructure();
      while (!arg.atEnd()) fields.append(fromArgument(arg));
      arg.endStructure();
      return fields;
    }
    default:
      return {};
  }
}

QVariant plainValue(const QVariant& value) {
  const int type = value.metaType().id();
  if (type == qMetaTypeId<QDBusVariant>()) return plainValue(value.value<QDBusVariant>().variant());
  if (type == qMetaTypeId<QDBusArgument>()) return fromArgument(value.value<QDBusArgument>());
  if (type == qMetaTypeId<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
  if (type == qMetaTypeId<QDBusSignature>()) return value.value<QDBusSignature>().signature();
  if (type == QMetaType::QVariantList) {
    QVariantList list;
    for (const QVariant& v : value.toList()) list.append(plainValue(v));
    return list;
  }
  if (type == QMetaType::QVariantMap) {
    QVariantMap map;
    const QVariantMap in = value.toMap();
    for (auto it = in.begin(); it != in.end(); ++it) map.insert(it.key(), plainValue(it.value()));
    return map;
  }
  return value;
}

QString indentLines(const QString& text) {
  return QStringLiteral("    ") + QString(text).replace(QLatin1Char('\n'), QStringLiteral("\n    "));
}

}  // namespace

EditorNotificationReceiver::EditorNotificationReceiver(Callback callback, QObject* parent)
    : QObject(parent), callback_(std::move(callback)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  registered_ = bus.isConnected() &&
                bus.connect(QString(), kPath, kInterface, kMember, QStringLiteral("sa{sv}"), this,
                            SLOT(onSignal(QString, QVariantMap)));
  if (!registered_)
    reportError(QStringLiteral("Cannot receive editor notifications: %1")
                 .arg(bus.lastError().message()));
}

void EditorNotificationReceiver::onSignal(const QString& object, const QVariantMap& userInfo) {
  if (object != kObject || !callback_) return;
  QVariantMap plain;
  for (auto it = userInfo.begin(); it != userInfo.end(); ++it)
    plain.insert(it.key(), plainValue(it.value()));
  callback_(plain);
}

QString describeNotificationValue(const QVariant& value) {
  if (!value.isValid() || value.isNull()) return QStringLiteral("(null)");
  switch (value.metaType().id()) {
    case QMetaType::Bool:
      return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
      return QString::number(value.toLongLong());
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
      return QString::number(value.toULongLong());
    case QMetaType::Float:
    case QMetaType::Double: {
      const double d = value.toDouble();
      if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15)
        return QString::number(static_cast<qint64>(d));
      return QString::number(d, 'g', 16);
    }
    case QMetaType::QString:
      return value.toString();
    case QMetaType::QByteArray:
      return QStringLiteral("<%1>").arg(QString::fromLatin1(value.toByteArray().toHex()));
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
      QStringList items;
      for (const QVariant& v : value.toList()) items.append(indentLines(describeNotificationValue(v)));
      if (items.isEmpty()) return QStringLiteral("(\n)");
      return QStringLiteral("(\n%1\n)").arg(items.join(QStringLiteral(",\n")));
    }
    case QMetaType::QVariantMap: {
      const QVariantMap map = value.toMap();
      QStringList items;
      for (auto it = map.begin(); it != map.end(); ++it)
        items.append(indentLines(
            QStringLiteral("%1 = %2;").arg(it.key(), describeNotificationValue(it.value()))));
      return QStringLiteral("{\n%1\n}").arg(items.join(QLatin1Char('\n')));
    }
    default:
      return value.toString();
  }
}

std::optional<QString> notificationText(const QVariantMap& userInfo, const QString& key) {
  const auto it = userInfo.find(key);
  if (it == userInfo.end() || it->metaType().id() != QMetaType::QString) return std::nullopt;
  return it->toString();
}

}  // namespace zuvo
