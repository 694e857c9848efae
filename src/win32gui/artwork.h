// The program's own pictures, drawn with GDI+ (part of Windows) when they are needed: the
// picture in the main window (a receiver module with its antenna, receiving; the same drawing
// as the Linux window's), the window icon, the folder glyph of the file button and the
// glyphs of the standard buttons. Nothing is loaded from files. Main thread only.
#pragma once

#include <windows.h>

namespace movrand::win32 {

// GDI+ is started for the lifetime of this object; the pictures need one to exist.
class GraphicsSession {
 public:
  GraphicsSession();
  ~GraphicsSession();
  GraphicsSession(const GraphicsSession&) = delete;
  GraphicsSession& operator=(const GraphicsSession&) = delete;
  bool started() const { return started_; }

 private:
  ULONG_PTR token_ = 0;
  bool started_ = false;
};

// Draws the main window's picture stretched over `box`, letting the window show through.
void DrawModulePicture(HDC dc, const RECT& box);

// Icons of `size` x `size` pixels with an alpha channel; the caller destroys them
// (DestroyIcon). Null when GDI+ is not there.
HICON ApplicationIcon(int size);
HICON FolderIcon(int size);
HICON CancelGlyph(int size);  // a red cross
HICON OkGlyph(int size);      // a green tick
HICON CloseGlyph(int size);   // an open door

// Owns an icon and destroys it once.
class Icon {
 public:
  explicit Icon(HICON icon = nullptr) : icon_(icon) {}
  ~Icon() { reset(); }
  Icon(const Icon&) = delete;
  Icon& operator=(const Icon&) = delete;
  HICON get() const { return icon_; }
  void reset(HICON icon = nullptr) {
    if (icon_) DestroyIcon(icon_);
    icon_ = icon;
  }

 private:
  HICON icon_;
};

}  // namespace movrand::win32
