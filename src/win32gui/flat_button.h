// The flat speed button of the windows: a control that shows its caption (or a picture) on the
// window's face, raises an edge while the mouse is over it, sinks while pressed or held down,
// and never takes the keyboard focus, so a click leaves the focus where it was. A click sends
// BN_CLICKED to the parent as a push button does. A toggle button (the terminal's Stop/Start)
// stays down while the view says so. Main thread only.
#pragma once

#include <windows.h>

namespace movrand::win32 {

// The window class; registered by the first call.
const char* FlatButtonClass();

// Sets the button's held-down state (wParam: TRUE or FALSE).
inline constexpr UINT kFlatButtonSetDown = WM_APP + 20;
// Sets the picture drawn instead of the caption (lParam: an HICON, owned by the caller; 0 for
// none) and its size in pixels (wParam).
inline constexpr UINT kFlatButtonSetIcon = WM_APP + 21;

}  // namespace movrand::win32
