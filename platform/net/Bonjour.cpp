#include "platform/net/Bonjour.h"

#include <QByteArrayList>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QSysInfo>

#include <net/if.h>

namespace zuvo::bonjour {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Avahi");
constexpr int kTimeoutMs = 3000;  // a stuck daemon must not hold the start-up
}  // namespace

bool advertise(const QString& type, quint16 port, const QString& interfaceName) {
  qDBusRegisterMetaType<QByteArrayList>();  // the TXT records, "aay"
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected() || !bus.interface()) return false;

  if (!bus.interface()->isServiceRegistered(kService).value()) return false;

  QDBusMessage create = QDBusMessage::createMethodCall(
      kService, QStringLiteral("/"), QStringLiteral("org.freedesktop.Avahi.Server"),
      QStringLiteral("EntryGroupNew"));
  const QDBusReply<QDBusObjectPath> group = bus.call(create, QDBus::Block, kTimeoutMs);
  if (!group.isValid()) return false;

  // Avahi wants the type without the trailing dot of the DNS-SD form.
  QString avahiType = type;
  if (avahiType.endsWith('.')) avahiType.chop(1);
  const unsigned index = if_nametoindex(interfaceName.toLocal8Bit().constData());
  const QString entryGroup = QStringLiteral("org.freedesktop.Avahi.EntryGroup");

  QDBusMessage add = QDBusMessage::createMethodCall(kService, group.value().path(), entryGroup,
                                                    QStringLiteral("AddService"));
  add << qint32(index ? int(index) : -1) << qint32(-1) << quint32(0) << QSysInfo::machineHostName()
      << avahiType << QString() << QString() << quint16(port) << QVariant::fromValue(QByteArrayList());
  if (bus.call(add, QDBus::Block, kTimeoutMs).type() == QDBusMessage::ErrorMessage) return false;

  QDBusMessage commit = QDBusMessage::createMethodCall(kService, group.value().path(), entryGroup,
                                                       QStringLiteral("Commit"));
  return bus.call(commit, QDBus::Block, kTimeoutMs).type() != QDBusMessage::ErrorMessage;
}

}  // namespace zuvo::bonjour
