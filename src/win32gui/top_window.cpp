#include "win32gui/top_window.h"

#include <commctrl.h>

#include <stdexcept>

#include "win32gui/error_box.h"

namespace movrand::win32 {
namespace {

constexpr const char* kWindowClass = "MovrandWindow";

// The per-monitor DPI calls exist from Windows 10 (1607) on; before that the system DPI
// serves every window.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename Function>
Function user32Function(const char* name) {
  const HMODULE user32 = GetModuleHandleA("user32.dll");
  return user32 ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)))
                : nullptr;
}

SIZE outerSize(HWND window, int clientWidth, int clientHeight, int dpi) {
  RECT rect{0, 0, clientWidth, clientHeight};
  const auto style = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE));
  static const auto adjustForDpi =
      user32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
  if (adjustForDpi) {
    adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi));
  } else {
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
  }
  return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

}  // namespace

int DpiOf(HWND window) {
  static const auto forWindow = user32Function<GetDpiForWindowFn>("GetDpiForWindow");
  if (forWindow && window) {
    if (const UINT dpi = forWindow(window); dpi != 0) return static_cast<int>(dpi);
  }
  const HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int got = GetWindowTextA(window, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

void TopWindow::registerClass() {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  if (GetClassInfoExA(instance, kWindowClass, &windowClass)) return;
  windowClass = WNDCLASSEXA{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &TopWindow::windowProc;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;  // a window of the dialog kind
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassExA(&windowClass)) throw std::runtime_error("Can't register a window class");
}

TopWindow::~TopWindow() {
  commands_.clear();
  if (hwnd_) {
    // Nothing reaches this object any more while the window and its children go.
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  for (const auto& [spec, handle] : fonts_) DeleteObject(handle);
  for (const auto& [colour, handle] : brushes_) DeleteObject(handle);
}

void TopWindow::create(const std::string& caption, DWORD style, DWORD exStyle, HWND owner,
                       int clientWidth, int clientHeight, FontSpec font) {
  registerClass();
  clientWidth_ = clientWidth;
  clientHeight_ = clientHeight;
  defaultFont_ = font;
  hwnd_ =
      CreateWindowExA(exStyle, kWindowClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                      clientWidth, clientHeight, owner, nullptr, GetModuleHandleA(nullptr), this);
  if (!hwnd_) throw std::runtime_error("Can't create the window \"" + caption + "\"");
  dpi_ = DpiOf(hwnd_);
  const SIZE outer = outerSize(hwnd_, scale(clientWidth_), scale(clientHeight_), dpi_);
  SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx, outer.cy,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(this->font(defaultFont_)), FALSE);
}

HWND TopWindow::child(std::string_view name) const {
  for (const Child& c : children_) {
    if (c.place.name == name) return c.hwnd;
  }
  return nullptr;
}

HFONT TopWindow::font(FontSpec spec) {
  HFONT& handle = fonts_[spec];
  if (!handle) {
    // A negative height is the character height, as the layout gives it. The Cyrillic
    // character set, as the window was drawn for; the font mapper keeps Latin text the same.
    handle = CreateFontA(-scale(spec.pixels), 0, 0, 0, spec.bold ? FW_BOLD : FW_NORMAL, FALSE,
                         FALSE, FALSE, RUSSIAN_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                         CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, kControlFontFamily);
  }
  return handle;
}

HWND TopWindow::addChild(const Place& place, const char* windowClass, DWORD style, DWORD exStyle,
                         int id) {
  return addChild(place, windowClass, style, defaultFont_, exStyle, id);
}

HWND TopWindow::addChild(const Place& place, const char* windowClass, DWORD style, FontSpec font,
                         DWORD exStyle, int id) {
  if (id == 0) id = nextId_++;
  const HWND handle = CreateWindowExA(exStyle, windowClass, "", style | WS_CHILD, scale(place.x),
                                      scale(place.y), scale(place.width), scale(place.height),
                                      hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                      GetModuleHandleA(nullptr), nullptr);
  if (!handle) {
    throw std::runtime_error("Can't create the control " + std::string(place.name));
  }
  children_.push_back(Child{handle, place, font});
  SendMessageA(handle, WM_SETFONT, reinterpret_cast<WPARAM>(this->font(font)), FALSE);
  return handle;
}

void TopWindow::moveChild(HWND child, const Place& place) {
  for (Child& c : children_) {
    if (c.hwnd != child) continue;
    if (c.place.x == place.x && c.place.y == place.y && c.place.width == place.width &&
        c.place.height == place.height) {
      return;
    }
    c.place = Place{c.place.name, place.x, place.y, place.width, place.height};
    placeChild(c);
  }
}

void TopWindow::placeChild(const Child& child) {
  SetWindowPos(child.hwnd, nullptr, scale(child.place.x), scale(child.place.y),
               scale(child.place.width), scale(child.place.height), SWP_NOZORDER | SWP_NOACTIVATE);
}

void TopWindow::onCommand(HWND child, std::function<void(WORD)> handler) {
  commands_[child] = std::move(handler);
}

void TopWindow::setColours(HWND child, COLORREF text, COLORREF background) {
  colours_[child] = Colours{text, background, true};
  InvalidateRect(child, nullptr, TRUE);
}

void TopWindow::setTextColour(HWND child, COLORREF text) {
  colours_[child] = Colours{text, GetSysColor(COLOR_BTNFACE), false};
  InvalidateRect(child, nullptr, TRUE);
}

HBRUSH TopWindow::brush(COLORREF colour) {
  HBRUSH& handle = brushes_[colour];
  if (!handle) handle = CreateSolidBrush(colour);
  return handle;
}

void TopWindow::setTooltip(HWND child, const std::string& text) {
  auto known = tooltips_.find(child);
  if (known != tooltips_.end() && known->second == text) return;
  if (!tooltip_) {
    tooltip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                               WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    if (!tooltip_) return;  // no tooltips: nothing else depends on them
  }
  TOOLINFOA tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = hwnd_;
  tool.uId = reinterpret_cast<UINT_PTR>(child);
  std::string copy = text;  // the control copies the text
  tool.lpszText = copy.data();
  SendMessageA(tooltip_, known == tooltips_.end() ? TTM_ADDTOOLA : TTM_UPDATETIPTEXTA, 0,
               reinterpret_cast<LPARAM>(&tool));
  tooltips_[child] = text;
}

void TopWindow::centreOver(HWND over) {
  RECT area{};
  if (over && IsWindowVisible(over) && !IsIconic(over)) {
    GetWindowRect(over, &area);
  } else {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoA(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    area = monitor.rcWork;
  }
  RECT own{};
  GetWindowRect(hwnd_, &own);
  const int width = own.right - own.left;
  const int height = own.bottom - own.top;
  SetWindowPos(hwnd_, nullptr, area.left + (area.right - area.left - width) / 2,
               area.top + (area.bottom - area.top - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TopWindow::applyDpi(int dpi) {
  dpi_ = dpi;
  for (const auto& [spec, handle] : fonts_) DeleteObject(handle);
  fonts_.clear();
  SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font(defaultFont_)), FALSE);
  for (const Child& c : children_) {
    placeChild(c);
    SendMessageA(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font(c.font)), TRUE);
  }
  dpiChanged();
}

LRESULT TopWindow::defaultHandling(UINT message, WPARAM wParam, LPARAM lParam) {
  return DefDlgProcA(hwnd_, message, wParam, lParam);
}

LRESULT TopWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const auto child = reinterpret_cast<HWND>(lParam);
      if (auto it = commands_.find(child); child && it != commands_.end()) {
        const auto handler = it->second;  // the handler may replace its own entry
        runGuarded([&] { handler(HIWORD(wParam)); });
        return 0;
      }
      break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN: {
      const auto it = colours_.find(reinterpret_cast<HWND>(lParam));
      if (it == colours_.end()) break;
      const auto dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, it->second.text);
      SetBkColor(dc, it->second.background);
      return reinterpret_cast<LRESULT>(it->second.hasBackground ? brush(it->second.background)
                                                                : GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      applyDpi(HIWORD(wParam));
      const SIZE outer = outerSize(hwnd_, scale(clientWidth_), scale(clientHeight_), dpi_);
      SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, outer.cx, outer.cy,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    default:
      break;
  }
  return defaultHandling(message, wParam, lParam);
}

LRESULT CALLBACK TopWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    auto* self = static_cast<TopWindow*>(create->lpCreateParams);
    self->hwnd_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TopWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!self) return DefDlgProcA(window, message, wParam, lParam);
  // Nothing may unwind through the system's frames.
  LRESULT result = 0;
  if (!runGuarded([&] { result = self->handle(message, wParam, lParam); })) return 0;
  return result;
}

}  // namespace movrand::win32
