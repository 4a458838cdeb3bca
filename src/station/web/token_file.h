#pragma once

#include <optional>
#include <string>

// The secret in the token file `path` (--http-token): 16 to 4096 bytes, the
// line ends an editor leaves after it dropped; or why it cannot be taken.
std::optional<std::string> ReadToken(const std::string& path, std::string& why);
