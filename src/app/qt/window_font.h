#pragma once

#include <QFont>

// The windows' font: "MS Sans Serif" with an 11-pixel character height. Where
// the system lacks that face, the copy that ships with Wine's fonts is
// registered; failing that, Liberation Sans has the closest metrics.
QFont WindowFont(int pixelHeight = 11);
