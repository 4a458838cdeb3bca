#pragma once

#include <optional>
#include <string>
#include <vector>

// `qefftool record verify`: whether the record at `path` holds, its chain and,
// with the key in the file at `keyPath`, every line's MAC.
struct RecordVerification {
    enum class Verdict { Holds, Broken, Unreadable, BadKey };
    Verdict verdict = Verdict::Holds;
    std::vector<std::string> lines;  // what is told, a sentence a line
};
RecordVerification VerifyRecord(const std::string& path, const std::optional<std::string>& keyPath);
