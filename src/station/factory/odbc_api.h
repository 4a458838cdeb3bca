#pragma once

// The ODBC C API as each system ships it: Windows' headers want <windows.h>
// first; unixODBC's stand alone. With both, SQLWCHAR is 16 bits wide.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

static_assert(sizeof(SQLWCHAR) == 2, "the wide ODBC calls take UTF-16");
