#include "support/held_file.h"

#ifdef _WIN32
#include <windows.h>

HeldFile::HeldFile(const std::filesystem::path& path) {
    handle_ = CreateFileA(path.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    held_ = handle_ != INVALID_HANDLE_VALUE;
}

HeldFile::~HeldFile() {
    if (held_)
        CloseHandle(handle_);
}
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

HeldFile::HeldFile(const std::filesystem::path& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

HeldFile::~HeldFile() {
    if (fd_ >= 0)
        ::close(fd_);
}
#endif

bool FreeToHold(const std::filesystem::path& path) { return HeldFile(path).Held(); }
