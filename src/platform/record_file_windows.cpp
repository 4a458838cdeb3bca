#include "station/record_file.h"

#include <windows.h>

namespace {

std::wstring Wide(const std::string& path) {
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                          nullptr, 0);
    if (units <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(), units);
    return wide;
}

class WindowsRecordFile final : public RecordFile {
public:
    WindowsRecordFile(HANDLE file, DiskFlush flush) : file_(file), flush_(std::move(flush)) {}
    ~WindowsRecordFile() override { CloseHandle(file_); }
    bool Append(const std::string& line) override {
        DWORD written = 0;  // FILE_APPEND_DATA alone: every write lands whole at the end
        const auto sync = [this] { return FlushFileBuffers(file_) != 0; };
        return WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
               written == line.size() && (flush_ ? flush_(sync) : sync());
    }

private:
    HANDLE file_;
    DiskFlush flush_;
};

}  // namespace

std::unique_ptr<RecordFile> RecordFile::Open(const std::string& path, DiskFlush flush) {
    const std::wstring wide = Wide(path);
    if (wide.empty())
        return nullptr;
    const HANDLE file = CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    // A line torn by a crash is ended first, so that the next line stands on
    // a line of its own instead of running on from the torn one.
    LARGE_INTEGER size{};
    char last = '\n';
    DWORD got = 0, written = 0;
    OVERLAPPED at{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        at.Offset = static_cast<DWORD>(size.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        if (ReadFile(file, &last, 1, &got, &at) && got == 1 && last != '\n' &&
            !(WriteFile(file, "\n", 1, &written, nullptr) && written == 1)) {
            CloseHandle(file);
            return nullptr;
        }
    }
    return std::make_unique<WindowsRecordFile>(file, std::move(flush));
}

std::optional<std::string> ReadRecord(const std::string& path) {
    const std::wstring wide = Wide(path);
    if (wide.empty())
        return std::nullopt;
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? std::optional<std::string>(std::string()) : std::nullopt;
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr)) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    if (!ok)
        return std::nullopt;
    return bytes;
}
