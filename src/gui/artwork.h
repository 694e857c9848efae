// The program's own pictures, drawn with QPainter when the windows are built: the picture in
// the main window (a receiver module with its antenna, receiving), the window icon and the
// folder glyph of the file button. Nothing is loaded from files.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace movrand::gui {

// The main window's picture at `size`, on a transparent background.
QPixmap modulePicture(QSize size);
// The window icon in the usual sizes.
QIcon applicationIcon();
// A small closed folder for the "Open file" button.
QIcon folderIcon();

}  // namespace movrand::gui
