// Looks into a running movrand.exe from outside, for the window's end-to-end test: where its
// controls stand on the screen (so that xdotool can click them as a user would), what they
// show, and the window's client size and caption. It reads through the system's own messages
// (WM_GETTEXT works across processes) and places the controls by the same layout table the
// window is built from. It never clicks or types itself.
//
//   movrand-window-probe wait CAPTION SECONDS         the window exists and is visible; prints
//                                                     "client WIDTH HEIGHT" and "caption TEXT"
//   movrand-window-probe gone CAPTION SECONDS         the window no longer exists or is hidden
//   movrand-window-probe point CAPTION NAME           prints "X Y", the screen point in the
//                                                     middle of the control NAME
//   movrand-window-probe text CAPTION NAME            prints the control's text
//   movrand-window-probe wait-text CAPTION NAME TEXT SECONDS
//                                                     the control's text contains TEXT
//   movrand-window-probe enabled CAPTION NAME         exit 0 when the control is enabled
//
// CAPTION names the main window ("  Movrand v5.12") or the warning dialog ("Attention!!!").
// Exit code 0 when the answer is yes, 1 when it is no or the time ran out, 2 for bad use.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/layout.h"

namespace {

using namespace std::chrono_literals;
using movrand::Place;

constexpr auto kPoll = 100ms;

HWND findVisible(const std::string& caption) {
  const HWND window = FindWindowA(nullptr, caption.c_str());
  return window && IsWindowVisible(window) ? window : nullptr;
}

std::optional<Place> placeIn(const std::string& caption, std::string_view name) {
  if (caption == "Attention!!!") return movrand::placeOf(movrand::kAttentionLayout, name);
  return movrand::placeOf(movrand::kMainWindowLayout, name);
}

int dpiOf(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  const auto forWindow = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
  const UINT dpi = forWindow ? forWindow(window) : 0;
  return dpi ? static_cast<int>(dpi) : 96;
}

// The middle of the control's place, on the screen.
std::optional<POINT> centreOf(HWND window, const Place& place) {
  const int dpi = dpiOf(window);
  POINT at{MulDiv(place.x + place.width / 2, dpi, 96), MulDiv(place.y + place.height / 2, dpi, 96)};
  if (!ClientToScreen(window, &at)) return std::nullopt;
  return at;
}

HWND controlAt(HWND window, const Place& place) {
  const int dpi = dpiOf(window);
  POINT at{MulDiv(place.x + place.width / 2, dpi, 96), MulDiv(place.y + place.height / 2, dpi, 96)};
  const HWND child = ChildWindowFromPointEx(window, at, CWP_SKIPINVISIBLE);
  return child == window ? nullptr : child;
}

std::string textOf(HWND control) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return {};
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &got);
  text.resize(static_cast<std::size_t>(got));
  return text;
}

template <typename Check>
bool waitFor(double seconds, Check check) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  for (;;) {
    if (check()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(kPoll);
  }
}

int usage() {
  std::fputs("usage: movrand-window-probe wait|gone|point|text|wait-text|enabled CAPTION ...\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string command = argv[1];
  const std::string caption = argv[2];

  if (command == "wait" && argc == 4) {
    HWND window = nullptr;
    if (!waitFor(std::atof(argv[3]), [&] { return (window = findVisible(caption)) != nullptr; })) {
      std::fprintf(stderr, "no window \"%s\"\n", caption.c_str());
      return 1;
    }
    RECT client{};
    GetClientRect(window, &client);
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    std::printf("client %ld %ld\ncaption %s\n", client.right, client.bottom, title);
    return 0;
  }
  if (command == "gone" && argc == 4) {
    return waitFor(std::atof(argv[3]), [&] { return findVisible(caption) == nullptr; }) ? 0 : 1;
  }
  if (argc < 4) return usage();
  const std::optional<Place> place = placeIn(caption, argv[3]);
  if (!place) {
    std::fprintf(stderr, "no control %s in \"%s\"\n", argv[3], caption.c_str());
    return 2;
  }
  const HWND window = findVisible(caption);
  if (!window) {
    std::fprintf(stderr, "no window \"%s\"\n", caption.c_str());
    return 1;
  }
  if (command == "point" && argc == 4) {
    const auto at = centreOf(window, *place);
    if (!at) return 1;
    std::printf("%ld %ld\n", at->x, at->y);
    return 0;
  }
  const HWND control = controlAt(window, *place);
  if (!control) return 1;
  if (command == "text" && argc == 4) {
    std::fputs(textOf(control).c_str(), stdout);
    std::fputc('\n', stdout);
    return 0;
  }
  if (command == "enabled" && argc == 4) return IsWindowEnabled(control) ? 0 : 1;
  if (command == "wait-text" && argc == 6) {
    const std::string wanted = argv[4];
    const bool found = waitFor(std::atof(argv[5]), [&] {
      return findVisible(caption) && textOf(control).find(wanted) != std::string::npos;
    });
    if (!found) {
      std::fprintf(stderr, "\"%s\" not in %s; it shows:\n%s\n", wanted.c_str(), argv[3],
                   textOf(control).c_str());
    }
    return found ? 0 : 1;
  }
  return usage();
}
