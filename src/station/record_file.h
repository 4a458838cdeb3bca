#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

// A file that lines are appended to whole, each with one append and on disk
// before Append returns, so that a crash leaves at most the last one torn.
class RecordFile {
public:
    // Puts a line written on disk by calling `flushToDisk`, the system's own
    // flush (fsync, FlushFileBuffers): a test passes one that also tells it
    // when the flush is made.
    using DiskFlush = std::function<bool(const std::function<bool()>& flushToDisk)>;

    virtual ~RecordFile() = default;
    // Opens (or makes) `path`, UTF-8, for appending; nullptr when it cannot be.
    static std::unique_ptr<RecordFile> Open(const std::string& path, DiskFlush flush = {});
    // Appends `line` with one write and flushes it to disk; false when it was
    // not all written or not flushed.
    virtual bool Append(const std::string& line) = 0;
};

// The whole of the file at `path`, or none when it cannot be read (a file
// that is not there is empty, and so is a device).
std::optional<std::string> ReadRecord(const std::string& path);
