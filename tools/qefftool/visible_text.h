#pragma once

#include <string>
#include <string_view>

// A text from a package or a device, fit to print on a terminal: its control
// characters (C0, DEL and C1) and bytes that are no UTF-8 are written out as
// escapes (\x1b, \u009d), so that no text can retitle, clear or drive the
// terminal it is shown on.
std::string VisibleText(std::string_view utf8);
