// The station's record read back over any file contents: it never crashes,
// tells only non-empty serial numbers, and a line torn by a crash never hides
// the whole line after it. Its chain checked over the same contents: a fault
// is told at a line the record has, and a record that holds still holds once
// the next run's start is appended to it as the station appends it.

#include "station/record_chain.h"
#include "station/record_reader.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace {

void Require(bool holds) {
    if (!holds)
        std::abort();
}

const std::string kSha = "2df44df6d4abd87620524d329f73f8e46579769870cd9ffc3df56d35e6124c41";
const std::optional<std::string> kKey = "a secret of the line, kept apart";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string record(reinterpret_cast<const char*>(data), size);
    for (const std::string& serial : RecordedUpgrades(record, kSha))
        Require(!serial.empty());

    const std::string after = record + "\n{\"record\":\"product\",\"sha256\":\"" + kSha +
                              "\",\"success\":true,\"serial\":\"QV-after\"}\n";
    Require(RecordedUpgrades(after, kSha).count("QV-after") == 1);
    Require(RecordedUpgrades(after, kSha + "0").count("QV-after") == 0);

    for (const std::optional<std::string>& key : {std::optional<std::string>(), kKey}) {
        const ChainCheck check = CheckRecordChain(record, key);
        Require(check.Holds() ? check.line == 0 : check.line >= 1 && check.line <= check.lines && !check.why.empty());
        for (const std::size_t torn : check.torn)
            Require(torn >= 1 && torn <= check.lines);
        if (!check.Holds())
            continue;
        // The next run: the torn end closed, then its start chained to the last whole line.
        const std::string start = SealLine("{\"record\":\"start\"}\n", ChainTail(record), key);
        Require(!start.empty());
        const std::string next = record + (record.empty() || record.back() == '\n' ? "" : "\n") + start;
        Require(CheckRecordChain(next, key).Holds());
    }
    return 0;
}
