#pragma once

#include <string>

// Writes `text` to the file `path` (UTF-8), made anew, that only this user
// may read (POSIX: mode 0600; Windows: a new file takes its folder's rights,
// the user's own under the profile). False when it cannot be written.
bool WritePrivateFile(const std::string& path, const std::string& text);
