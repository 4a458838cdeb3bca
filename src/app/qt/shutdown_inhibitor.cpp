#include "app/qt/shutdown_inhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QString>

namespace {

constexpr int kInhibitTimeoutMs = 1000;  // a bus that does not answer never holds the window
const char* const kConnectionName = "qeff-shutdown-inhibitor";

// The system bus where libdbus looks for it: DBUS_SYSTEM_BUS_ADDRESS, else the
// well-known socket. Read at each attempt, so a bus that came up since counts.
QString SystemBusAddress() {
    const QByteArray set = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    return set.isEmpty() ? QStringLiteral("unix:path=/run/dbus/system_bus_socket") : QString::fromUtf8(set);
}

}  // namespace

void ShutdownInhibitor::Take() {
    Release();
    const QString name = QString::fromLatin1(kConnectionName);
    QDBusConnection bus = QDBusConnection::connectToBus(SystemBusAddress(), name);
    if (bus.isConnected()) {
        QDBusMessage inhibit = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        inhibit << QStringLiteral("sleep:shutdown") << QStringLiteral("Quorvella USB Upgrade Utility")
                << QStringLiteral("Upgrading firmware; do not switch off") << QStringLiteral("block");
        const QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(inhibit, QDBus::Block, kInhibitTimeoutMs);
        if (reply.isValid())
            lock_ = reply.value();
    }
    // The lock lives on in its descriptor, not in the connection.
    QDBusConnection::disconnectFromBus(name);
}

void ShutdownInhibitor::Release() { lock_ = QDBusUnixFileDescriptor(); }
