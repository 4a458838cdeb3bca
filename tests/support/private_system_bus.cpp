#include "support/private_system_bus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QMetaObject>
#include <QStandardPaths>

#include <poll.h>
#include <unistd.h>

namespace {

const QString kLogindConnection = QStringLiteral("test-fake-logind");

}  // namespace

// logind's Manager object, as much of it as Inhibit. Runs on a thread of its
// own, for the window asks it while its own thread waits for the answer.
class FakeLogindManager : public QDBusVirtualObject {
public:
    explicit FakeLogindManager(PrivateSystemBus& bus) : bus_(bus) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != QStringLiteral("org.freedesktop.login1.Manager") ||
            message.member() != QStringLiteral("Inhibit"))
            return false;
        std::vector<std::string> arguments;
        for (const QVariant& argument : message.arguments())
            arguments.push_back(argument.toString().toStdString());
        int ends[2];
        if (pipe(ends) != 0) {
            connection.send(message.createErrorReply(QDBusError::Failed, QStringLiteral("no pipe")));
            return true;
        }
        {
            std::lock_guard lock(bus_.mutex_);
            bus_.calls_.push_back(arguments);
            if (bus_.lockReadEnd_ >= 0)
                close(bus_.lockReadEnd_);
            bus_.lockReadEnd_ = ends[0];
        }
        connection.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
        close(ends[1]);  // the reply carries its own copy
        return true;
    }

private:
    PrivateSystemBus& bus_;
};

PrivateSystemBus::PrivateSystemBus(const std::filesystem::path& folder) {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (program.isEmpty()) {
        problem_ = "dbus-daemon is not installed (Debian package dbus-daemon)";
        return;
    }
    const QString address = QStringLiteral("unix:path=") + QString::fromStdString((folder / "system_bus").string());
    daemon_.start(program, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                            QStringLiteral("--print-address=1"), QStringLiteral("--address=") + address});
    if (!daemon_.waitForStarted(5000) || !daemon_.waitForReadyRead(5000)) {
        problem_ = "dbus-daemon did not start: " + daemon_.errorString().toStdString();
        return;
    }
    hadAddress_ = qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS");
    previousAddress_ = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_.readLine().trimmed());
}

bool PrivateSystemBus::StartLogind() {
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(qgetenv("DBUS_SYSTEM_BUS_ADDRESS")),
                                                        kLogindConnection);
    if (!bus.isConnected() || !bus.registerService(QStringLiteral("org.freedesktop.login1")))
        return false;
    logindThread_.start();
    logind_ = new FakeLogindManager(*this);
    logind_->moveToThread(&logindThread_);
    return bus.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), logind_);
}

PrivateSystemBus::~PrivateSystemBus() {
    if (logind_) {
        QDBusConnection(kLogindConnection).unregisterObject(QStringLiteral("/org/freedesktop/login1"));
        QDBusConnection::disconnectFromBus(kLogindConnection);
        QMetaObject::invokeMethod(logind_, [this] { delete logind_; }, Qt::BlockingQueuedConnection);
        logindThread_.quit();
        logindThread_.wait();
    }
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        daemon_.waitForFinished(5000);
    }
    if (Running()) {
        if (hadAddress_)
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress_);
        else
            qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    if (lockReadEnd_ >= 0)
        close(lockReadEnd_);
}

std::vector<std::vector<std::string>> PrivateSystemBus::InhibitCalls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

namespace {

// The reading end's state after waiting up to `ms`: true once it reads end of file.
bool ReadsEndOfFile(int fd, int ms) {
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, ms) <= 0)
        return false;
    char byte;
    return read(fd, &byte, 1) == 0;
}

}  // namespace

bool PrivateSystemBus::LockHeld() const {
    std::lock_guard lock(mutex_);
    return lockReadEnd_ >= 0 && !ReadsEndOfFile(lockReadEnd_, 0);
}

bool PrivateSystemBus::LockReleasedWithin(int ms) const {
    std::lock_guard lock(mutex_);
    return lockReadEnd_ >= 0 && ReadsEndOfFile(lockReadEnd_, ms);
}
