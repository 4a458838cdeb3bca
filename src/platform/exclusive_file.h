#pragma once

#include "package/package_file.h"

#include <memory>
#include <string>

// Opens a file for reading so that no other program can use it while we hold it
// (share mode 0 on Windows; an exclusive non-blocking flock on POSIX systems).
// `path` is UTF-8. nullptr when the file cannot be opened or is held by someone else.
std::unique_ptr<PackageFile> OpenFileExclusive(const std::string& path);
