#pragma once

#include <filesystem>
#include <string>

// A file name as qefftool holds it, UTF-8, as a path the system opens by its
// own form: on Windows the wide name (a narrow one is taken in the ANSI code
// page, which may lack its letters), elsewhere the same bytes.
inline std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
