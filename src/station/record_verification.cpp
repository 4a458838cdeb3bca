#include "station/record_verification.h"

#include "station/record_chain.h"
#include "station/record_file.h"
#include "station/record_key.h"
#include "platform/utf8_path.h"

#include <filesystem>
#include <system_error>

using Verdict = RecordVerification::Verdict;

namespace {

// "line 7" or "lines 7, 9".
std::string LinesNamed(const std::vector<std::size_t>& numbers) {
    std::string text = numbers.size() == 1 ? "line " : "lines ";
    for (std::size_t i = 0; i < numbers.size(); ++i)
        text += (i ? ", " : "") + std::to_string(numbers[i]);
    return text;
}

}  // namespace

RecordVerification VerifyRecord(const std::string& path, const std::optional<std::string>& keyPath) {
    RecordVerification told;
    std::optional<std::string> key;
    if (keyPath) {
        std::string why;
        key = ReadRecordKey(*keyPath, why);
        if (!key)
            return {Verdict::BadKey, {why}};
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(PathFromUtf8(path), error))
        return {Verdict::Unreadable, {"The record " + path + " is not there, or is no file: name the file of watch --record."}};
    const auto record = ReadRecord(path);
    if (!record)
        return {Verdict::Unreadable, {"The record " + path + " cannot be read."}};
    const ChainCheck check = CheckRecordChain(*record, key);
    if (check.unchained)
        told.lines.push_back(path + ": lines 1 to " + std::to_string(check.unchained) +
                             " were written before the record was chained; they are not checked.");
    if (!check.torn.empty())
        told.lines.push_back(path + ": " + LinesNamed(check.torn) +
                             " torn by a crash, and passed over by the station; not changed by anyone.");
    // A record of which no line is chained may have been stripped of its
    // chain: nothing in it can be vouched for.
    if (check.Holds() && check.unchained > 0 && check.unchained + check.torn.size() == check.lines) {
        told.verdict = Verdict::Broken;
        told.lines.push_back(path + ": no line of the record is chained, so none can be checked: it was written "
                                    "before the record was chained, or its chain was taken out.");
        return told;
    }
    if (!check.Holds()) {
        told.verdict = Verdict::Broken;
        told.lines.push_back(path + ": line " + std::to_string(check.line) + ": " + check.why +
                             " The record does not hold from here on.");
        return told;
    }
    told.lines.push_back(path + ": " + std::to_string(check.lines) + (check.lines == 1 ? " line" : " lines") +
                         ": the record holds" + (key ? ", its chain and every line's MAC." : ": its chain.") +
                         (key ? "" : " Give --record-key FILE to check the lines' MACs."));
    return told;
}
