#pragma once

#include <string>
#include <string_view>

// A text from a package or a device, fit to print on a terminal: its control
// characters (C0, DEL and C1), the invisible format characters that reorder or
// hide what follows (bidirectional controls, zero-width characters, line and
// paragraph separators) and bytes that are no UTF-8 are written out as
// escapes (\x1b, \u009d, \u202e), so that no text can retitle, clear or drive
// the terminal it is shown on, nor read otherwise than it is.
std::string VisibleText(std::string_view utf8);

// The same for a text printed between double quotes: `\` and `"` are escaped
// too, so that the text can neither end its quotes early (a serial number
// that prints a false location after it) nor pass a literal escape for one.
std::string QuotedText(std::string_view utf8);
