// A top-level window of the program and its child controls, in plain Win32.
//
// Every window places its controls from the shared layout table, in pixels at 96 dots per
// inch, scaled to the window's own DPI: the program is per-monitor DPI aware, so each window
// is laid out again (places and fonts) when it moves to a monitor of another DPI. The windows
// belong to a window class of the dialog kind (DefDlgProc behind it), which gives them the
// system's keyboard handling: Tab moves through the controls with a tab stop, Enter presses
// the default button (IDOK) and Escape the cancel button (IDCANCEL), and the focus comes back
// to the control that had it when the window is activated again.
//
// A window calls its own handlers only through `handle`, and every call into a model is made
// inside `runGuarded`. Main thread only.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/layout.h"

namespace movrand::win32 {

// The DPI of `window` (96 where the system cannot say).
int DpiOf(HWND window);
// `pixels` at 96 DPI, scaled to `dpi`.
inline int Scaled(int pixels, int dpi) {
  return MulDiv(pixels, dpi, 96);
}

// A font the window owns: the controls' typeface at a character height in pixels.
struct FontSpec {
  int pixels = kMainFontPixels;
  bool bold = false;
  bool operator<(const FontSpec& other) const {
    return std::pair(pixels, bold) < std::pair(other.pixels, other.bold);
  }
};

class TopWindow {
 public:
  virtual ~TopWindow();
  TopWindow(const TopWindow&) = delete;
  TopWindow& operator=(const TopWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  int dpi() const { return dpi_; }
  int scale(int pixels) const { return Scaled(pixels, dpi_); }
  // The child control laid out under `name`, or null.
  HWND child(std::string_view name) const;
  // The window's font for `spec` at its current DPI.
  HFONT font(FontSpec spec);

  // Centres the window's outer frame over `over` (or, without one or when it is hidden, over
  // the work area of the monitor the window is on).
  void centreOver(HWND over);

  // Runs `handler` with the notification code for each WM_COMMAND from `child`.
  void onCommand(HWND child, std::function<void(WORD code)> handler);
  // The colours a static or read-only control is drawn in (WM_CTLCOLORSTATIC and friends).
  void setColours(HWND child, COLORREF text, COLORREF background);
  void setTextColour(HWND child, COLORREF text);

  // Adds or changes the tooltip of `child`; an empty text shows none.
  void setTooltip(HWND child, const std::string& text);
  // Moves a child to a new place (96-DPI pixels); it stays there across DPI changes.
  void moveChild(HWND child, const Place& place);

 protected:
  TopWindow() = default;

  // Creates the window hidden, with a client area of `clientWidth` x `clientHeight` (96-DPI
  // pixels), the caption and the font every control gets unless it names its own.
  void create(const std::string& caption, DWORD style, DWORD exStyle, HWND owner, int clientWidth,
              int clientHeight, FontSpec font);

  // Creates a child control at `place` (96-DPI pixels). `id` 0 gives the next free one from
  // 100 on, clear of the dialog manager's IDOK and IDCANCEL.
  HWND addChild(const Place& place, const char* windowClass, DWORD style, DWORD exStyle = 0,
                int id = 0);
  // A child with its own font.
  HWND addChild(const Place& place, const char* windowClass, DWORD style, FontSpec font,
                DWORD exStyle = 0, int id = 0);

  // The window's own messages. The default sends commands to their handlers, colours the
  // controls, follows DPI changes and hands the rest to the dialog manager.
  virtual LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  // After the window was laid out anew for another DPI.
  virtual void dpiChanged() {}

  LRESULT defaultHandling(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  struct Child {
    HWND hwnd;
    Place place;
    FontSpec font;
  };
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static void registerClass();
  void applyDpi(int dpi);
  void placeChild(const Child& child);
  HBRUSH brush(COLORREF colour);

  HWND hwnd_ = nullptr;
  int dpi_ = 96;
  int clientWidth_ = 0;
  int clientHeight_ = 0;
  FontSpec defaultFont_;
  int nextId_ = 100;
  std::vector<Child> children_;
  std::map<FontSpec, HFONT> fonts_;
  std::map<HWND, std::function<void(WORD)>> commands_;
  struct Colours {
    COLORREF text;
    COLORREF background;
    bool hasBackground;
  };
  std::map<HWND, Colours> colours_;
  std::map<COLORREF, HBRUSH> brushes_;
  HWND tooltip_ = nullptr;
  std::map<HWND, std::string> tooltips_;
};

// The place of `name` in `table`; a name the table lacks is a fault of the program.
template <std::size_t N>
Place requirePlace(const std::array<Place, N>& table, std::string_view name) {
  const auto at = placeOf(table, name);
  if (!at) throw std::logic_error("No place for " + std::string(name));
  return *at;
}

// Window text in the ANSI code page, as the models hold it on Windows.
std::string WindowText(HWND window);

}  // namespace movrand::win32
