// The windows' typeface: Arial where it is installed, otherwise a face with the same metrics
// (Liberation Sans), so the captions fit the fixed layout on every system.
#pragma once

#include <QFont>
#include <QString>

namespace movrand::gui {

// The family the windows use on this system.
QString controlFontFamily();
// That family at a character height of `pixelSize` pixels.
QFont controlFont(int pixelSize, bool bold = false);

}  // namespace movrand::gui
