#pragma once

#include <optional>
#include <string>

// The secret the record's lines are sealed with, read from the file at `path`:
// its bytes, without the line end an editor leaves after them; at least 16
// bytes and at most 4096. None, with `why` told, when it cannot be read or is
// too short or too long.
std::optional<std::string> ReadRecordKey(const std::string& path, std::string& why);
