#include "qefftool/verb_options.h"

#include "device/usb_release.h"
#include "platform/sha256.h"
#include "platform/utf8_path.h"

#include <cctype>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>

#ifndef _WIN32
#include <unistd.h>
#endif

unsigned long ParseNumber(const std::string& text, unsigned long max) {
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || text[0] == '-' || used != text.size() || value > max)
        throw CLI::ValidationError(text, "takes a number from 0 to " + std::to_string(max) + " (0x for hexadecimal)");
    return value;
}

std::string HostName() {
#ifdef _WIN32
    const char* name = std::getenv("COMPUTERNAME");
    return name ? name : "";
#else
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
#endif
}

CLI::Validator Sha256Check() {
    return CLI::Validator(
        [](std::string& hex) { return ParseSha256Hex(hex) ? std::string() : "takes 64 hexadecimal digits"; }, "HEX");
}

CLI::Option* AddTrustOption(CLI::App& command, std::string& trust, const std::string& refusal) {
    return command.add_option("--trust", trust,
                              refusal + " unless the signature beside it (PACKAGE.p7s) is by a publisher this "
                                        "certificate (PEM or DER: theirs, or their CA's) vouches for");
}

CLI::Validator ReleaseCheck() {
    return CLI::Validator(
        [](std::string& text) {
            return ParseRelease(text) ? std::string()
                                      : "takes a USB release number as lsusb shows it (2.41: BCD digits, two after "
                                        "the dot) or as the device holds it in hex (0x0241)";
        },
        "VERSION");
}

std::optional<std::string> ReadConnectionFile(const std::string& path) {
    std::ifstream file(PathFromUtf8(path), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    if (!file.good() && !file.eof())
        return std::nullopt;
    if (text.empty())
        return std::nullopt;
    return text;
}
