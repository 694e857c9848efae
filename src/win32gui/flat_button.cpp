#include "win32gui/flat_button.h"

#include <stdexcept>
#include <string>

namespace movrand::win32 {
namespace {

constexpr const char* kClassName = "MovrandFlatButton";

struct State {
  HFONT font = nullptr;
  HICON icon = nullptr;
  int iconSize = 16;
  bool hot = false;       // the mouse is over the button
  bool pressed = false;   // the mouse button went down on it and is still down over it
  bool tracking = false;  // holding the mouse capture
  bool down = false;      // a toggle held down
};

State& stateOf(HWND window) {
  return *reinterpret_cast<State*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

void paint(HWND window, State& state) {
  PAINTSTRUCT ps;
  const HDC dc = BeginPaint(window, &ps);
  RECT rect;
  GetClientRect(window, &rect);
  FillRect(dc, &rect, GetSysColorBrush(COLOR_BTNFACE));
  const bool enabled = IsWindowEnabled(window) != FALSE;
  const bool sunk = state.down || (state.pressed && state.hot);
  if (enabled && sunk) {
    DrawEdge(dc, &rect, BDR_SUNKENOUTER, BF_RECT);
  } else if (enabled && state.hot) {
    DrawEdge(dc, &rect, BDR_RAISEDINNER, BF_RECT);
  }
  const int shift = sunk ? 1 : 0;  // the face moves with the press
  if (state.icon) {
    const int x = (rect.right - state.iconSize) / 2 + shift;
    const int y = (rect.bottom - state.iconSize) / 2 + shift;
    DrawState(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(state.icon), 0, x, y, state.iconSize,
              state.iconSize, DST_ICON | (enabled ? DSS_NORMAL : DSS_DISABLED));
  } else {
    const int length = GetWindowTextLengthA(window);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    GetWindowTextA(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    const HGDIOBJ old =
        SelectObject(dc, state.font ? state.font : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    RECT face = rect;
    OffsetRect(&face, shift, shift);
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &face,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
  }
  EndPaint(window, &ps);
}

bool inside(HWND window, LPARAM lParam) {
  RECT rect;
  GetClientRect(window, &rect);
  const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
  return PtInRect(&rect, at) != FALSE;
}

void setHot(HWND window, State& state, bool hot) {
  if (state.hot == hot) return;
  state.hot = hot;
  InvalidateRect(window, nullptr, FALSE);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new State));
  } else if (message == WM_NCDESTROY) {
    delete &stateOf(window);
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    return DefWindowProcA(window, message, wParam, lParam);
  }
  if (GetWindowLongPtrA(window, GWLP_USERDATA) == 0) {
    return DefWindowProcA(window, message, wParam, lParam);
  }
  State& state = stateOf(window);
  switch (message) {
    case WM_PAINT:
      paint(window, state);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // painted whole in WM_PAINT
    case WM_SETFONT:
      state.font = reinterpret_cast<HFONT>(wParam);
      if (LOWORD(lParam)) InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(state.font);
    case WM_SETTEXT: {
      const LRESULT result = DefWindowProcA(window, message, wParam, lParam);
      InvalidateRect(window, nullptr, FALSE);
      return result;
    }
    case WM_ENABLE:
      if (!wParam) {
        state.hot = state.pressed = false;
        if (state.tracking) ReleaseCapture();
      }
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case kFlatButtonSetDown:
      if (state.down != (wParam != 0)) {
        state.down = wParam != 0;
        InvalidateRect(window, nullptr, FALSE);
      }
      return 0;
    case kFlatButtonSetIcon:
      state.icon = reinterpret_cast<HICON>(lParam);
      state.iconSize = wParam > 0 ? static_cast<int>(wParam) : 16;
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_MOUSEMOVE: {
      if (!state.hot) {
        TRACKMOUSEEVENT track{};
        track.cbSize = sizeof track;
        track.dwFlags = TME_LEAVE;
        track.hwndTrack = window;
        TrackMouseEvent(&track);
      }
      setHot(window, state, inside(window, lParam));
      return 0;
    }
    case WM_MOUSELEAVE:
      setHot(window, state, false);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      // No SetFocus: the focus stays where it was.
      state.pressed = true;
      state.tracking = true;
      state.hot = true;
      SetCapture(window);
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_LBUTTONUP: {
      const bool click = state.pressed && inside(window, lParam);
      state.pressed = false;
      if (state.tracking) {
        state.tracking = false;
        ReleaseCapture();
      }
      setHot(window, state, inside(window, lParam));
      InvalidateRect(window, nullptr, FALSE);
      if (click) {
        const int id = GetDlgCtrlID(window);
        SendMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(window));
      }
      return 0;
    }
    case WM_CAPTURECHANGED:
      state.tracking = false;
      state.pressed = false;
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_GETDLGCODE:
      return DLGC_STATIC;  // never a tab stop or a default button
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

const char* FlatButtonClass() {
  static const bool registered = [] {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &windowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    return RegisterClassExA(&windowClass) != 0;
  }();
  if (!registered) throw std::runtime_error("Can't register the flat button class");
  return kClassName;
}

}  // namespace movrand::win32
