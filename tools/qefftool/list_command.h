#pragma once

#include <optional>
#include <ostream>
#include <string>

class HidSystem;

// Every HID interface the system enumerates, in enumeration order: index,
// path, vendor:product ID, report lengths where it can be opened, the maker's
// and product's names, serial number and location where the platform gives
// them, and, with a package, whether it is the package's product; as text or
// one JSON object a line. Returns the exit code.
int RunList(HidSystem& hid, const std::optional<std::string>& package, std::ostream& out, bool json = false);
