#include "station/record_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class PosixRecordFile final : public RecordFile {
public:
    PosixRecordFile(int fd, DiskFlush flush) : fd_(fd), flush_(std::move(flush)) {}
    ~PosixRecordFile() override { ::close(fd_); }
    bool Append(const std::string& line) override {
        ssize_t written;
        do
            written = ::write(fd_, line.data(), line.size());  // O_APPEND: one write lands whole at the end
        while (written < 0 && errno == EINTR);
        const auto sync = [this] { return ::fsync(fd_) == 0; };
        return written == static_cast<ssize_t>(line.size()) && (flush_ ? flush_(sync) : sync());
    }

private:
    int fd_;
    DiskFlush flush_;
};

}  // namespace

std::unique_ptr<RecordFile> RecordFile::Open(const std::string& path, DiskFlush flush) {
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    // A line torn by a crash is ended first, so that the next line stands on
    // a line of its own instead of running on from the torn one.
    struct stat file {};
    char last = '\n';
    if (::fstat(fd, &file) == 0 && file.st_size > 0 && ::pread(fd, &last, 1, file.st_size - 1) == 1 && last != '\n' &&
        ::write(fd, "\n", 1) != 1) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixRecordFile>(fd, std::move(flush));
}

std::optional<std::string> ReadRecord(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? std::optional<std::string>(std::string()) : std::nullopt;
    std::string bytes;
    // A device (/dev/null, /dev/full) holds no record, and may never end.
    if (struct stat file {}; ::fstat(fd, &file) == 0 && !S_ISREG(file.st_mode)) {
        ::close(fd);
        return bytes;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}
