#pragma once

#include <memory>
#include <optional>
#include <string>

// A file that lines are appended to whole, each with one append and on disk
// before Append returns, so that a crash leaves at most the last one torn.
class RecordFile {
public:
    virtual ~RecordFile() = default;
    // Opens (or makes) `path`, UTF-8, for appending; nullptr when it cannot be.
    static std::unique_ptr<RecordFile> Open(const std::string& path);
    // Appends `line` with one write and flushes it to disk; false when it was
    // not all written or not flushed.
    virtual bool Append(const std::string& line) = 0;
};

// The whole of the file at `path`, or none when it cannot be read (a file
// that is not there is empty).
std::optional<std::string> ReadRecord(const std::string& path);
