#pragma once

#include <string>
#include <string_view>
#include <vector>

// Package texts are 8-bit text in the system's ANSI code page: on Windows the
// system's own, elsewhere 1252. The windows show UTF-8.
std::string AnsiToUtf8(std::string_view ansi);
#ifdef _WIN32
// The same in a given code page; under UTF-8 (65001) a text that is no UTF-8 is read as 1252.
std::string AnsiToUtf8(std::string_view ansi, unsigned codePage);
#endif

// Splits at CR, LF or CR LF; a break at the very end does not start a new line.
std::vector<std::string> SplitLines(std::string_view text);
