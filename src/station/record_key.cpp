#include "station/record_key.h"

#include "platform/utf8_path.h"

#include <fstream>

namespace {

constexpr std::size_t kShortest = 16, kLongest = 4096;

}  // namespace

std::optional<std::string> ReadRecordKey(const std::string& path, std::string& why) {
    std::ifstream file(PathFromUtf8(path), std::ios::binary);
    std::string key(kLongest + 3, '\0');  // the key and the line end after it
    file.read(key.data(), static_cast<std::streamsize>(key.size()));
    key.resize(static_cast<std::size_t>(file.gcount()));
    while (!key.empty() && (key.back() == '\n' || key.back() == '\r'))
        key.pop_back();
    if (!file.eof() || key.size() > kLongest) {
        why = "The record key file " + path + " cannot be read, or holds more than 4096 bytes.";
        return std::nullopt;
    }
    if (key.size() < kShortest) {
        why = "The record key in " + path + " is shorter than 16 bytes: make a longer secret.";
        return std::nullopt;
    }
    return key;
}
