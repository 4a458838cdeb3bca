#include "station/sealed_record_file.h"

#include "station/record_chain.h"

SealedRecordFile::SealedRecordFile(std::unique_ptr<RecordFile> file, std::string tail, std::optional<std::string> key)
    : file_(std::move(file)), prev_(std::move(tail)), key_(std::move(key)) {}

bool SealedRecordFile::Append(const std::string& line) {
    const std::string sealed = SealLine(line, prev_, key_);
    if (sealed.empty() || !file_->Append(sealed))
        return false;  // the station stops: the chain is not moved on past a line not written
    prev_ = LineHash(std::string_view(sealed).substr(0, sealed.size() - 1));
    return true;
}
