#include "station/web/token_file.h"

#include "platform/utf8_path.h"

#include <cctype>
#include <fstream>

std::optional<std::string> ReadToken(const std::string& path, std::string& why) {
    std::ifstream file(PathFromUtf8(path), std::ios::binary);
    // The secret and the line ends an editor leaves after it.
    std::string token(4096 + 3, '\0');
    file.read(token.data(), static_cast<std::streamsize>(token.size()));
    token.resize(static_cast<std::size_t>(file.gcount()));
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back())))
        token.pop_back();
    if (!file.eof() || token.size() > 4096) {
        why = "The token file " + path + " cannot be read, or holds more than 4096 bytes.";
        return std::nullopt;
    }
    if (token.size() < 16) {
        why = "The token in " + path + " is shorter than 16 characters: make a longer secret.";
        return std::nullopt;
    }
    return token;
}
