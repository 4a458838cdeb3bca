#include "platform/private_file.h"

#include "platform/utf8_path.h"

#include <fstream>

bool WritePrivateFile(const std::string& path, const std::string& text) {
    std::ofstream file(PathFromUtf8(path), std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return static_cast<bool>(file);
}
