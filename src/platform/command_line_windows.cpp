#include "platform/command_line.h"

#include <cstdio>
#include <cstring>

#include <io.h>
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

namespace {

std::string Utf8Of(const wchar_t* wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string text(static_cast<std::size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
    return text;
}

// The length of the longest start of `bytes` that ends between two UTF-8
// sequences: a character cut by the buffer's end waits for its other bytes.
std::size_t WholeSequences(const char* bytes, std::size_t size) {
    std::size_t back = 0;
    while (back < size && back < 4 && (static_cast<unsigned char>(bytes[size - 1 - back]) & 0xC0) == 0x80)
        ++back;
    if (back == size)
        return size;  // no lead byte at all: let the converter show what it is
    const auto lead = static_cast<unsigned char>(bytes[size - 1 - back]);
    const std::size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return want > back + 1 ? size - 1 - back : size;
}

// Written by hand: neither the C++ library nor mingw's C library writes
// UTF-16 to a console, and a console in the OEM code page shows the UTF-8
// bytes of a product's name or a package's notes as other characters.
class ConsoleBuffer final : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~ConsoleBuffer() override { Flush(true); }

protected:
    int_type overflow(int_type c) override {
        if (Flush(false) != 0)
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    // A flush keeps back a character whose bytes have not all come.
    int sync() override { return Flush(false); }

private:
    int Flush(bool all) {
        const auto size = static_cast<std::size_t>(pptr() - pbase());
        const std::size_t whole = all ? size : WholeSequences(pbase(), size);
        int ok = 0;
        if (whole > 0) {
            const int units = MultiByteToWideChar(CP_UTF8, 0, pbase(), static_cast<int>(whole), nullptr, 0);
            std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
            MultiByteToWideChar(CP_UTF8, 0, pbase(), static_cast<int>(whole), wide.data(), units);
            for (std::size_t done = 0; done < wide.size();) {
                DWORD written = 0;
                if (!WriteConsoleW(console_, wide.data() + done, static_cast<DWORD>(wide.size() - done), &written,
                                   nullptr) ||
                    written == 0) {
                    ok = -1;
                    break;
                }
                done += written;
            }
        }
        // What is left (the start of a cut character) moves to the front.
        const std::size_t left = size - whole;
        std::memmove(buffer_, pbase() + whole, left);
        setp(buffer_, buffer_ + sizeof buffer_);
        pbump(static_cast<int>(left));
        return ok;
    }

    HANDLE console_;
    char buffer_[4096];
};

}  // namespace

std::vector<std::string> CommandLineUtf8(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return {argv, argv + argc};
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        arguments.push_back(Utf8Of(wide[i]));
    LocalFree(wide);
    return arguments;
}

std::unique_ptr<std::streambuf> ConsoleTextBuffer(FILE* stream) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return nullptr;  // a pipe or a file: UTF-8 as it is
    return std::make_unique<ConsoleBuffer>(handle);
}
