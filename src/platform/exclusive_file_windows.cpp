#include "platform/exclusive_file.h"

#include <string>

#include <windows.h>

namespace {

class WindowsExclusiveFile final : public PackageFile {
public:
    explicit WindowsExclusiveFile(HANDLE file) : file_(file) {}
    ~WindowsExclusiveFile() override { CloseHandle(file_); }
    WindowsExclusiveFile(const WindowsExclusiveFile&) = delete;
    WindowsExclusiveFile& operator=(const WindowsExclusiveFile&) = delete;

    std::optional<std::uint64_t> Size() override {
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file_, &size) || size.QuadPart < 0)
            return std::nullopt;
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    std::size_t ReadFromStart(std::span<std::uint8_t> into) override {
        LARGE_INTEGER start{};
        if (!SetFilePointerEx(file_, start, nullptr, FILE_BEGIN))
            return 0;
        std::size_t done = 0;
        while (done < into.size()) {
            const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(into.size() - done, 1u << 30));
            DWORD got = 0;
            if (!ReadFile(file_, into.data() + done, ask, &got, nullptr) || got == 0)
                break;
            done += got;
        }
        return done;
    }

private:
    HANDLE file_;
};

// A name Windows opens whatever its length: past MAX_PATH, its full form with
// the \\?\ prefix, which lifts the limit (and which only a full, normalised
// name may carry).
std::wstring OpenableName(std::wstring wide) {
    if (wide.size() < MAX_PATH || wide.rfind(L"\\\\?\\", 0) == 0)
        return wide;
    const DWORD units = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (units == 0)
        return wide;
    std::wstring full(units, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), units, full.data(), nullptr);
    if (written == 0 || written >= units)
        return wide;
    full.resize(written);
    if (full.rfind(L"\\\\", 0) == 0)  // a share: \\server\share
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Antivirus scanners, the search indexer, Explorer's preview and sync clients
// open a file for a moment just after it was written or downloaded: a file
// that is shared with no one is tried again for this long before it counts as
// held by another program.
constexpr DWORD SharingRetryFor = 1000;
constexpr DWORD SharingRetryEvery = 50;

}  // namespace

std::unique_ptr<PackageFile> OpenFileExclusive(const std::string& path) {
    // The name is UTF-8: opened by its UTF-16 form, so that a name outside the
    // ANSI code page opens too.
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                          nullptr, 0);
    if (units <= 0)
        return nullptr;
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(), units);
    wide = OpenableName(std::move(wide));
    // Share mode 0: while we hold the file nobody else may open it, and a file
    // someone else holds open cannot be opened here.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (const ULONGLONG start = GetTickCount64();;) {
        file = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            GetTickCount64() - start >= SharingRetryFor)
            break;
        Sleep(SharingRetryEvery);
    }
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    // Only a file on a disk is a package: not a console, a pipe or a device.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return nullptr;
    }
    return std::make_unique<WindowsExclusiveFile>(file);
}
