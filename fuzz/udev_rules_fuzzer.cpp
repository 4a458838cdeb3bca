// The udev rules the doctor reads, over any file contents: it never crashes,
// and every grant it tells names a line the file has and grants something.

#include "platform/node_access_linux.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view rules(reinterpret_cast<const char*>(data), size);
    const auto lines = static_cast<int>(std::count(rules.begin(), rules.end(), '\n')) + 1;
    for (const UdevGrant& grant : RuleGrants(rules, 0x1d50, 0x6018))
        if (grant.line < 1 || grant.line > lines || !(grant.seat || grant.owner || grant.group || grant.mode))
            std::abort();
    return 0;
}
