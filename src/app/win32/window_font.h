#pragma once

#include <windows.h>

// The windows' font, "MS Sans Serif" with a character height of `pixels`
// (11 at 96 dots per inch), default character set. The caller deletes it.
HFONT CreateWindowFont(int pixels);

// The height of a line of text in `font` (13 pixels for the designed font).
int TextHeight(HFONT font);

// The size `text` takes in `font`.
SIZE TextExtent(HFONT font, const wchar_t* text);
