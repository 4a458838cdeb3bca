#include "qefftool/verb_options.h"

#include "device/usb_release.h"
#include "platform/sha256.h"

#include <cstdlib>
#include <exception>

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
