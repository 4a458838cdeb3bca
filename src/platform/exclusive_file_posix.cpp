#include "platform/exclusive_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class PosixExclusiveFile final : public PackageFile {
public:
    explicit PosixExclusiveFile(int fd) : fd_(fd) {}
    ~PosixExclusiveFile() override { ::close(fd_); }  // also drops the lock
    PosixExclusiveFile(const PosixExclusiveFile&) = delete;
    PosixExclusiveFile& operator=(const PosixExclusiveFile&) = delete;

    std::optional<std::uint64_t> Size() override {
        const off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0)
            return std::nullopt;
        return static_cast<std::uint64_t>(end);
    }

    std::size_t ReadFromStart(std::span<std::uint8_t> into) override {
        if (::lseek(fd_, 0, SEEK_SET) != 0)
            return 0;
        std::size_t done = 0;
        while (done < into.size()) {
            const ssize_t n = ::read(fd_, into.data() + done, into.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

private:
    int fd_;
};

// Keeps other programs from taking the file while it is read. An exclusive lock
// where the file system gives one; NFS does not on a file opened for reading (it
// emulates flock() with POSIX locks, whose write lock needs write access: EBADF),
// and there a shared lock still keeps out a program that holds or wants the
// file for itself. A file system without locks at all (ENOLCK, EOPNOTSUPP) still
// lets the package be read. Only a lock that someone else holds refuses it.
bool Lock(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno == EWOULDBLOCK)
        return false;
    return ::flock(fd, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

}  // namespace

std::unique_ptr<PackageFile> OpenFileExclusive(const std::string& path) {
    // Non-blocking, so that a named pipe or a device cannot hold the window up
    // while it waits for a writer; only a regular file is a package.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !Lock(fd) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixExclusiveFile>(fd);
}
