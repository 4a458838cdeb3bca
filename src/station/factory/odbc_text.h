#pragma once

#include <string>
#include <string_view>

// Text for the wide ODBC calls, which every driver manager implements (Wine's
// odbc32 has no SQLDriverConnectA), and back. UTF-8 that is not valid (a
// stray byte, a cut sequence, a surrogate's code) becomes U+FFFD, as the
// record's JSON lines already spell it; so does a lone surrogate coming back.
std::u16string Utf16FromUtf8(std::string_view utf8);
std::string Utf8FromUtf16(std::u16string_view utf16);
