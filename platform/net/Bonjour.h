// Service advertisement (DNS-SD) through the Avahi daemon's D-Bus interface on the system bus.
#pragma once

#include <QString>

namespace zuvo::bonjour {

// Publishes a service of this type ("_http._tcp.") on the named interface for the rest of the
// program's life, under the machine's host name. Quietly false when no Avahi daemon is on the
// system bus or it refuses; nothing is logged either way.
bool advertise(const QString& type, quint16 port, const QString& interfaceName = QStringLiteral("lo"));

}  // namespace zuvo::bonjour
