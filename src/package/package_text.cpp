#include "package/package_text.h"

#include <array>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>

namespace {

// `text` decoded from `codePage` into `wide`; false where it is not of it.
bool Decode(unsigned codePage, DWORD flags, std::string_view text, std::wstring& wide) {
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (units <= 0)
        return false;
    wide.assign(static_cast<std::size_t>(units), L'\0');
    return MultiByteToWideChar(codePage, flags, text.data(), size, wide.data(), units) == units;
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi, unsigned codePage) {
    if (ansi.empty())
        return {};
    std::wstring text;
    // A system whose ANSI code page is UTF-8 ("Beta: Use Unicode UTF-8") would
    // turn the 1252 texts of packages made elsewhere into U+FFFD: a text is
    // taken as UTF-8 where it is well-formed UTF-8, and as 1252 where not.
    const bool wellFormed = codePage == CP_UTF8 && Decode(CP_UTF8, MB_ERR_INVALID_CHARS, ansi, text);
    if (!wellFormed && !Decode(codePage == CP_UTF8 ? 1252 : codePage, 0, ansi, text))
        return {};
    const int wide = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

// Windows writes and reads these texts in the system's own ANSI code page: a
// package made on a Cyrillic or Japanese system shows right there, and only
// the system knows its code page's table.
std::string AnsiToUtf8(std::string_view ansi) { return AnsiToUtf8(ansi, GetACP()); }

#else

namespace {

// Elsewhere the texts are taken as code page 1252, the one packages are mostly
// written in. It is Latin-1 but for 0x80..0x9F, written out here because
// neither toolkit is at hand in the shared code; the five holes of the code
// page keep their byte's value, as Windows does.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendUtf8(std::string& out, char16_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size());
    for (const char ch : ansi) {
        const auto byte = static_cast<std::uint8_t>(ch);
        AppendUtf8(out, byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : char16_t{byte});
    }
    return out;
}

#endif

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n')
            continue;
        lines.emplace_back(text.substr(start, i - start));
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}
