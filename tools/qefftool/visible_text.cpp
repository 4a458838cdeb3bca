#include "qefftool/visible_text.h"

#include <cstdint>
#include <cstdio>

namespace {

// Written here: the standard library's UTF-8 converters are deprecated, and
// neither CLI11 nor nlohmann-json makes a text safe to print on a terminal.
// The length of the UTF-8 sequence at the start of `s` and its code point;
// 0 when it is no well-formed sequence.
std::size_t Sequence(std::string_view s, char32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t lead = byte(0);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    // Overlong forms, surrogates and code points past Unicode are no UTF-8.
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// Invisible characters that change how the text around them reads: Unicode's
// format characters (category Cf) and the line and paragraph separators.
bool IsFormatCharacter(char32_t c) {
    const auto in = [c](char32_t from, char32_t to) { return c >= from && c <= to; };
    return c == 0xAD || in(0x600, 0x605) || c == 0x61C || c == 0x6DD || c == 0x70F || in(0x890, 0x891) ||
           c == 0x8E2 || c == 0x180E || in(0x200B, 0x200F) || in(0x2028, 0x202E) || in(0x2060, 0x2064) ||
           in(0x2066, 0x206F) || c == 0xFEFF || in(0xFFF9, 0xFFFB) || c == 0x110BD || c == 0x110CD ||
           in(0x13430, 0x1343F) || in(0x1BCA0, 0x1BCA3) || in(0x1D173, 0x1D17A) || c == 0xE0001 ||
           in(0xE0020, 0xE007F);
}

std::string Escaped(std::string_view utf8, bool quoted) {
    std::string out;
    out.reserve(utf8.size());
    char escape[12];
    while (!utf8.empty()) {
        char32_t code = 0;
        const std::size_t n = Sequence(utf8, code);
        if (n == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(static_cast<std::uint8_t>(utf8[0])));
            out += escape;
            utf8.remove_prefix(1);
            continue;
        }
        if (code < 0x20 || code == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(code));
            out += escape;
        } else if ((code >= 0x80 && code < 0xA0) || IsFormatCharacter(code)) {
            std::snprintf(escape, sizeof escape, code > 0xFFFF ? "\\U%08x" : "\\u%04x", static_cast<unsigned>(code));
            out += escape;
        } else if (quoted && (code == '\\' || code == '"')) {
            out += '\\';
            out += static_cast<char>(code);
        } else {
            out.append(utf8.substr(0, n));
        }
        utf8.remove_prefix(n);
    }
    return out;
}

}  // namespace

std::string VisibleText(std::string_view utf8) { return Escaped(utf8, false); }

std::string QuotedText(std::string_view utf8) { return Escaped(utf8, true); }
