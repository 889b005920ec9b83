#include "platform/desktop/SingleInstance.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QVariantMap>

namespace zuvo {

// The freedesktop application interface; only Activate is served.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
 public:
  explicit ApplicationAdaptor(SingleInstance* owner) : QDBusAbstractAdaptor(owner), owner_(owner) {}

 public slots:
  void Activate(const QVariantMap& platformData) {
    (void)platformData;
    if (owner_->onActivate_) owner_->onActivate_();
  }

 private:
  SingleInstance* owner_;
};

SingleInstance::SingleInstance(const QString& service, const QString& path,
                               std::function<void()> onActivate, QObject* parent)
    : QObject(parent), service_(service), path_(path), onActivate_(std::move(onActivate)) {
  new ApplicationAdaptor(this);
}

SingleInstance::~SingleInstance() {
  if (!owned_) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterService(service_);
  bus.unregisterObject(path_);
}

SingleInstance::Claim SingleInstance::claim(QString* error) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()) {
    if (error) *error = bus.lastError().message();
    return Claim::NoBus;
  }
  // The object comes first, so that whoever sees the name can call it.
  if (!bus.objectRegisteredAt(path_) && !bus.registerObject(path_, this, QDBusConnection::ExportAdaptors)) {
    if (error) *error = QStringLiteral("Cannot register %1 on the session bus").arg(path_);
    return Claim::NoBus;
  }
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
      service_, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid()) {
    bus.unregisterObject(path_);
    if (error) *error = reply.error().message();
    return Claim::NoBus;
  }
  if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
    bus.unregisterObject(path_);
    return Claim::AlreadyRunning;
  }
  owned_ = true;
  return Claim::Owned;
}

bool SingleInstance::activateRunning(const QString& service, const QString& path, QString* error) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  QDBusMessage call = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.Application"),
                                                     QStringLiteral("Activate"));
  call << QVariantMap();
  const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
  if (reply.type() == QDBusMessage::ReplyMessage) return true;
  if (error) *error = reply.errorMessage();
  return false;
}

}  // namespace zuvo

#include "SingleInstance.moc"
