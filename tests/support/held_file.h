#pragma once

#include <filesystem>

// Holds a file open the way another program would that shares it with no one
// (an exclusive lock on POSIX systems, share mode 0 on Windows).
class HeldFile {
public:
    explicit HeldFile(const std::filesystem::path& path);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool Held() const { return held_; }

private:
    bool held_ = false;
    void* handle_ = nullptr;
    int fd_ = -1;
};

// Whether another program could take the file for itself right now.
bool FreeToHold(const std::filesystem::path& path);
