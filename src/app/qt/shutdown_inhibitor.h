#pragma once

#include <QDBusUnixFileDescriptor>

// Holds off sleep and shut-down on Linux through logind's inhibitor lock: the
// lock is a file descriptor that logind hands out and that holds while it is
// open. Where there is no system bus or no logind, holding does nothing.
class ShutdownInhibitor {
public:
    ShutdownInhibitor() = default;
    ShutdownInhibitor(const ShutdownInhibitor&) = delete;
    ShutdownInhibitor& operator=(const ShutdownInhibitor&) = delete;
    ~ShutdownInhibitor() { Release(); }

    // Asks logind for the lock, waiting at most a second for its answer.
    void Take();
    // Closes the lock's descriptor, if one was given.
    void Release();
    bool Holding() const { return lock_.isValid(); }

private:
    QDBusUnixFileDescriptor lock_;
};
