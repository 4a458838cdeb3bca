#include "station/factory/odbc_text.h"

#include <gtest/gtest.h>

// Faults caught: a code point beyond U+FFFF not made a surrogate pair (or a
// pair not joined again); bytes that are no UTF-8 passed on as characters
// they do not spell (an overlong '/', a surrogate's code, a cut sequence).
TEST(OdbcText, Utf8ToUtf16AndBack) {
    struct Row {
        const char* name;
        std::string utf8;
        std::u16string utf16;
        std::string back;
    };
    const Row rows[] = {
        {"ascii", "serial \"0A\" <b>", u"serial \"0A\" <b>", "serial \"0A\" <b>"},
        {"two and three bytes", "Jos\xC3\xA9 \xE6\x97\xA5", u"Jos\u00E9 \u65E5", "Jos\xC3\xA9 \xE6\x97\xA5"},
        {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600", "\xF0\x9F\x98\x80"},
        {"a stray byte", "a\xFF" "b", u"a\uFFFDb", "a\xEF\xBF\xBD" "b"},
        {"an overlong '/'", "\xC0\xAF", u"\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"a surrogate's code", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"a cut sequence", "\xF0\x9F\x98", u"\uFFFD\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"a NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Utf16FromUtf8(row.utf8), row.utf16) << row.name;
        EXPECT_EQ(Utf8FromUtf16(row.utf16), row.back) << row.name;
    }
    // Fault caught: a lone surrogate from the driver passed on as bytes no UTF-8 reader takes.
    EXPECT_EQ(Utf8FromUtf16(u"\xD83D" u"x"), "\xEF\xBF\xBDx");
}
