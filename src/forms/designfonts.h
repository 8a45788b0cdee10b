#pragma once
// The fonts the windows were designed with, or the nearest the machine has.
// Which families a machine holds varies (a desktop brings dozens, a server
// few), so a window never names a family directly: it asks here.
#include <QFont>
#include <QString>

namespace designfonts {

// "Tahoma" where installed (Wine's metric-compatible one carries that name),
// else the system's user-interface font.
QString DialogFamily();
QFont DialogFont(int pointSize);
QFont DialogPixelFont(int pixelSize);

// A fixed-pitch family for the log: "Courier New", or the family fontconfig
// puts in its place when that one is fixed-pitch (Liberation Mono, its
// metric-compatible stand-in); else the first installed family of a short
// list of common monospace families that the font database confirms as
// fixed-pitch; else the system's fixed font.
QString FixedFamily();
QFont FixedPixelFont(int pixelSize);

}  // namespace designfonts
