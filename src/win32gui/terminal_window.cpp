#include "win32gui/terminal_window.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>

#include "app/layout.h"
#include "win32gui/error_box.h"
#include "win32gui/flat_button.h"

namespace movrand::win32 {
namespace {

static_assert(kTerminalClientWidth == TTermForm::kClientWidth);
static_assert(kTerminalClientHeight == TTermForm::kClientHeight);

constexpr DWORD kTerminalStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// Inside the radio group: where the row of buttons stands below the caption, the buttons'
// height and the side margin (96-DPI pixels).
constexpr int kRadioTop = 13;
constexpr int kRadioHeight = 17;
constexpr int kRadioMargin = 6;

Place placeNamed(const char* name) {
  return requirePlace(kTerminalLayout, name);
}

}  // namespace

TerminalWindow::TerminalWindow(TTermForm& form, Win32EventLoop& loop, HWND owner)
    : form_(form), loop_(loop) {
  create(form_.Caption(), kTerminalStyle, WS_EX_CONTROLPARENT, owner, kTerminalClientWidth,
         kTerminalClientHeight, FontSpec{kTerminalFontPixels, false});
  SetWindowPos(hwnd(), nullptr, TTermForm::kLeft, TTermForm::kTop, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

  memo_ = addChild(placeNamed("Memo1"), WC_EDITA,
                   WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                       ES_WANTRETURN | ES_NOHIDESEL,
                   WS_EX_CLIENTEDGE);
  SendMessageA(memo_, EM_SETLIMITTEXT, 0, 0);
  toggle_ = addChild(placeNamed("SpeedButton1"), FlatButtonClass(), WS_VISIBLE);
  const Place groupPlace = placeNamed("RadioGroup1");
  const FontSpec groupFont{kRadioGroupFontPixels, false};
  group_ = addChild(groupPlace, WC_BUTTONA, WS_VISIBLE | BS_GROUPBOX, groupFont);
  const RadioGroup& group = form_.RadioGroup1;
  const int columns = std::max(1, group.columns());
  const int columnWidth = (groupPlace.width - 2 * kRadioMargin) / columns;
  for (std::size_t i = 0; i < group.items().size(); ++i) {
    const int column = static_cast<int>(i) % columns;
    const int row = static_cast<int>(i) / columns;
    const Place at{"", groupPlace.x + kRadioMargin + column * columnWidth,
                   groupPlace.y + kRadioTop + row * kRadioHeight, columnWidth, kRadioHeight};
    // The model decides which one is checked, and the sync shows it (none at all included).
    const HWND radio =
        addChild(at, WC_BUTTONA, WS_VISIBLE | BS_RADIOBUTTON | (i == 0 ? WS_TABSTOP | WS_GROUP : 0),
                 groupFont);
    SetWindowTextA(radio, group.items()[i].c_str());
    onCommand(radio, [this, i](WORD code) {
      if (code != BN_CLICKED) return;
      form_.RadioGroup1.userSelect(static_cast<int>(i));
      syncRadioGroup();
    });
    radios_.push_back(radio);
  }
  const HWND clear = addChild(placeNamed("Button1"), WC_BUTTONA,
                              WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_PUSHBUTTON);

  syncRadioGroup();
  form_.RadioGroup1.setListener([this] { syncRadioGroup(); });
  syncToggle();
  form_.SpeedButton1.setListener([this] { syncToggle(); });
  onCommand(toggle_, [this](WORD code) {
    if (code != BN_CLICKED) return;
    form_.SpeedButton1.click();
    syncToggle();
  });
  bindings_.push_back(bindButton(*this, clear, form_.Button1));
  syncText();
  form_.Memo1.setListener([this] { syncText(); });
  onCommand(memo_, [this](WORD code) {
    if (code == EN_CHANGE) userEdited();
  });

  form_.SetWrap([this](std::string_view paragraph) { return wrap(paragraph); });
  syncWindow();
  form_.setListener([this] { syncWindow(); });
  loop_.addDialogWindow(hwnd());
}

TerminalWindow::~TerminalWindow() {
  loop_.removeDialogWindow(hwnd());
  form_.setListener(nullptr);
  form_.SetWrap(nullptr);
  form_.SpeedButton1.setListener(nullptr);
  form_.RadioGroup1.setListener(nullptr);
  form_.Memo1.setListener(nullptr);
  bindings_.clear();
}

std::vector<std::size_t> TerminalWindow::wrap(std::string_view paragraph) const {
  // Laid out as the box lays out a paragraph: its font, its width; a line ends after the last
  // blank that fits, or where the text no longer fits when no blank does.
  std::vector<std::size_t> starts{0};
  RECT format{};
  SendMessageA(memo_, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
  const int width = format.right - format.left;
  if (width <= 0 || paragraph.empty()) return starts;
  const HDC dc = GetDC(memo_);
  if (!dc) return starts;
  const HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(memo_, WM_GETFONT, 0, 0)));
  std::size_t start = 0;
  while (start < paragraph.size()) {
    const std::string_view rest = paragraph.substr(start);
    INT fit = 0;
    SIZE extent{};
    GetTextExtentExPointA(dc, rest.data(), static_cast<int>(rest.size()), width, &fit, nullptr,
                          &extent);
    auto fits = static_cast<std::size_t>(std::max(fit, 0));
    if (fits >= rest.size()) break;
    // Blanks may stand past the edge; the line breaks after them.
    std::size_t next = rest.find_last_of(' ', fits);
    if (next == std::string_view::npos || next == 0) {
      next = std::max<std::size_t>(fits, 1);
    } else {
      next += 1;
    }
    start += next;
    if (start < paragraph.size()) starts.push_back(start);
  }
  SelectObject(dc, old);
  ReleaseDC(memo_, dc);
  return starts;
}

void TerminalWindow::syncWindow() {
  setText(hwnd(), form_.Caption());
  const bool visible = IsWindowVisible(hwnd()) != FALSE;
  if (form_.Visible() && !visible) {
    ShowWindow(hwnd(), SW_SHOWNORMAL);
    BringWindowToTop(hwnd());
  } else if (!form_.Visible() && visible) {
    ShowWindow(hwnd(), SW_HIDE);
  }
}

void TerminalWindow::syncText() {
  applyCommon(*this, memo_, form_.Memo1);
  if (form_.Memo1.text() == shown_) return;
  shown_ = form_.Memo1.text();
  syncing_ = true;  // not an edit of the user's
  SetWindowTextA(memo_, shown_.c_str());
  syncing_ = false;
  // The newest text in view.
  const int end = GetWindowTextLengthA(memo_);
  SendMessageA(memo_, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageA(memo_, EM_SCROLLCARET, 0, 0);
}

void TerminalWindow::userEdited() {
  if (syncing_) return;
  std::string text = WindowText(memo_);
  shown_ = text;
  form_.Memo1.setText(std::move(text));
}

void TerminalWindow::syncToggle() {
  const ToggleButton& model = form_.SpeedButton1;
  setText(toggle_, model.caption());
  SendMessageA(toggle_, kFlatButtonSetDown, model.down() ? TRUE : FALSE, 0);
  applyCommon(*this, toggle_, model);
}

void TerminalWindow::syncRadioGroup() {
  const RadioGroup& model = form_.RadioGroup1;
  setText(group_, model.caption());
  for (std::size_t i = 0; i < radios_.size(); ++i) {
    SendMessageA(radios_[i], BM_SETCHECK,
                 static_cast<int>(i) == model.itemIndex() ? BST_CHECKED : BST_UNCHECKED, 0);
    EnableWindow(radios_[i], model.enabled() ? TRUE : FALSE);
  }
  applyCommon(*this, group_, model);
}

LRESULT TerminalWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    // Hides the window through the model, which unchecks "Show process" in the main window.
    form_.Close();
    return 0;
  }
  if (message == WM_COMMAND && lParam == 0 &&
      (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    return 0;  // Enter and Escape: the window has no default or cancel button
  }
  return TopWindow::handle(message, wParam, lParam);
}

}  // namespace movrand::win32
