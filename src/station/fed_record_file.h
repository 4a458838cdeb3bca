#pragma once

#include "station/record_feed.h"
#include "station/record_file.h"

#include <memory>

// The station's record, each line on disk first and then told to the feed of
// the factory's database, which reads it from the file.
class FedRecordFile final : public RecordFile {
public:
    FedRecordFile(std::unique_ptr<RecordFile> file, RecordFeed& feed) : file_(std::move(file)), feed_(feed) {}
    bool Append(const std::string& line) override {
        const bool written = file_->Append(line);
        feed_.LineWritten();  // even a line half written: the feed sends what the file holds
        return written;
    }

private:
    std::unique_ptr<RecordFile> file_;
    RecordFeed& feed_;
};
