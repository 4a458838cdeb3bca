#pragma once

#include <QProcess>
#include <QString>
#include <QThread>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FakeLogindManager;

// A bus of the test's own, standing in for the system bus: a dbus-daemon on a
// socket in `folder`, named by DBUS_SYSTEM_BUS_ADDRESS while this lives. On it,
// once asked, a fake logind answers Inhibit with a pipe's writing end, as the
// real one answers with a FIFO's; the test keeps the reading end, which reads
// end of file once every copy of the lock is closed.
class PrivateSystemBus {
public:
    // Empty when dbus-daemon could not be started; why is in Problem().
    explicit PrivateSystemBus(const std::filesystem::path& folder);
    ~PrivateSystemBus();

    bool Running() const { return problem_.empty(); }
    const std::string& Problem() const { return problem_; }

    // Registers org.freedesktop.login1 on the bus.
    bool StartLogind();

    // The arguments of each Inhibit call, in order.
    std::vector<std::vector<std::string>> InhibitCalls() const;
    // True while the last lock handed out is open somewhere.
    bool LockHeld() const;
    // Waits up to `ms` for the last lock to be closed by everyone.
    bool LockReleasedWithin(int ms) const;

private:
    friend class FakeLogindManager;
    QProcess daemon_;
    QThread logindThread_;
    FakeLogindManager* logind_ = nullptr;  // lives on logindThread_
    std::string problem_;
    QByteArray previousAddress_;
    bool hadAddress_ = false;

    mutable std::mutex mutex_;
    std::vector<std::vector<std::string>> calls_;
    int lockReadEnd_ = -1;
};
