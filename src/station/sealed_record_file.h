#pragma once

#include "station/record_file.h"

#include <memory>
#include <optional>
#include <string>

// A record whose every line is chained to the line before it and, with a key,
// carries its MAC (see record_chain.h). Lines go to it in the order they are
// appended; each is still one append with one flush.
class SealedRecordFile final : public RecordFile {
public:
    // `tail`: the hash the first line chains to (ChainTail of the file as it was).
    SealedRecordFile(std::unique_ptr<RecordFile> file, std::string tail, std::optional<std::string> key);
    bool Append(const std::string& line) override;

private:
    std::unique_ptr<RecordFile> file_;
    std::string prev_;
    std::optional<std::string> key_;
};
