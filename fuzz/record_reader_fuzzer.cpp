// The station's record read back over any file contents: it never crashes,
// tells only non-empty serial numbers, and a line torn by a crash never hides
// the whole line after it.

#include "station/record_reader.h"

#include <cstdlib>
#include <string>

namespace {

void Require(bool holds) {
    if (!holds)
        std::abort();
}

const std::string kSha = "2df44df6d4abd87620524d329f73f8e46579769870cd9ffc3df56d35e6124c41";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string record(reinterpret_cast<const char*>(data), size);
    for (const std::string& serial : RecordedUpgrades(record, kSha))
        Require(!serial.empty());

    const std::string after = record + "\n{\"record\":\"product\",\"sha256\":\"" + kSha +
                              "\",\"success\":true,\"serial\":\"QV-after\"}\n";
    Require(RecordedUpgrades(after, kSha).count("QV-after") == 1);
    Require(RecordedUpgrades(after, kSha + "0").count("QV-after") == 0);
    return 0;
}
