#pragma once

#include "station/web/page_files.h"

// The line's page's files, built into the program from src/station/line/page/.
std::span<const PageFile> LinePageFiles();
