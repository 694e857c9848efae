#include "win32gui/main_window.h"

#include <commctrl.h>

#include <stdexcept>
#include <string>

#include "app/layout.h"
#include "win32gui/error_box.h"
#include "win32gui/flat_button.h"

namespace movrand::win32 {
namespace {

static_assert(kMainClientWidth == TMainForm::kClientWidth);
static_assert(kMainClientHeight == TMainForm::kClientHeight);

// A single border with the system menu and the minimise box: not resizable, no maximise.
constexpr DWORD kMainStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
// The edge a drop-down list's text field has around its item, top and bottom together.
constexpr int kComboFieldFrame = 6;
constexpr int kGlyphSize = 16;

Place placeNamed(const char* name) {
  return requirePlace(kMainWindowLayout, name);
}

}  // namespace

MainWindow::MainWindow(TMainForm& form, Win32EventLoop& loop) : form_(form), loop_(loop) {
  create(form_.Caption, kMainStyle, WS_EX_CONTROLPARENT, nullptr, kMainClientWidth,
         kMainClientHeight, FontSpec{kMainFontPixels, false});

  constexpr DWORD kLabel = WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX;
  constexpr DWORD kCombo = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
  constexpr DWORD kPush = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
  const HWND labelPort = addControl("LabelPort", WC_STATICA, kLabel);
  const HWND portCombo = addControl("PortComboBox", WC_COMBOBOXA, kCombo);
  const HWND labelProtocol = addControl("LabelProtocol", WC_STATICA, kLabel);
  const HWND protocolCombo = addControl("ProtocolComboBox", WC_COMBOBOXA, kCombo);
  const HWND labelBaud = addControl("LabelBaud", WC_STATICA, kLabel);
  const HWND baudCombo = addControl("BaudComboBox", WC_COMBOBOXA, kCombo);
  const HWND labelFile = addControl("LabelFile", WC_STATICA, kLabel);
  const HWND edit1 = addControl(
      "Edit1", WC_EDITA, WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE);
  const HWND open = addControl("SpeedButtonOpen", FlatButtonClass(), WS_VISIBLE);
  const HWND synch = addControl("SpeedButtonSynch", FlatButtonClass(), WS_VISIBLE);
  const HWND program = addControl("SpeedButtonProgram", FlatButtonClass(), WS_VISIBLE);
  const HWND memo1 =
      addControl("Memo1", WC_EDITA,
                 WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                 WS_EX_CLIENTEDGE);
  const HWND check1 = addControl("CheckBox1", WC_BUTTONA, WS_TABSTOP | BS_CHECKBOX);
  const HWND cancel = addControl("SpeedButton1", WC_BUTTONA, kPush);
  const HWND close = addControl("BitBtn1", WC_BUTTONA, kPush);

  // The file name box in the system's 3-D light colour, the log pane black on white.
  setColours(edit1, GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_3DLIGHT));
  setColours(memo1, RGB(0, 0, 0), RGB(255, 255, 255));
  setIcons();

  bindings_.push_back(bindLabel(*this, labelPort, form_.LabelPort, kLabelHeight));
  bindings_.push_back(bindComboBox(*this, portCombo, form_.PortComboBox));
  bindings_.push_back(bindLabel(*this, labelProtocol, form_.LabelProtocol, kLabelHeight));
  bindings_.push_back(bindComboBox(*this, protocolCombo, form_.ProtocolComboBox));
  bindings_.push_back(bindLabel(*this, labelBaud, form_.LabelBaud, kLabelHeight));
  bindings_.push_back(bindComboBox(*this, baudCombo, form_.BaudComboBox));
  bindings_.push_back(bindLabel(*this, labelFile, form_.LabelFile, kLabelHeight));
  bindings_.push_back(bindEdit(*this, edit1, form_.Edit1));
  bindings_.push_back(bindButton(*this, open, form_.SpeedButtonOpen));
  bindings_.push_back(bindButton(*this, synch, form_.SpeedButtonSynch));
  bindings_.push_back(bindButton(*this, program, form_.SpeedButtonProgram));
  bindings_.push_back(bindMemo(*this, memo1, form_.Memo1));
  bindings_.push_back(bindCheckBox(*this, check1, form_.CheckBox1));
  bindings_.push_back(bindButton(*this, cancel, form_.SpeedButton1));
  bindings_.push_back(bindButton(*this, close, form_.BitBtn1));

  // Keyboard order: the window's children in this z-order, the first on top.
  HWND previous = HWND_TOP;
  for (std::string_view name : kMainTabOrder) {
    if (const HWND next = child(name)) {
      SetWindowPos(next, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      previous = next;
    }
  }
  dpiChanged();
  form_.onCloseRequest = [this] { SendMessageA(hwnd(), WM_CLOSE, 0, 0); };
  loop_.addDialogWindow(hwnd());
}

MainWindow::~MainWindow() {
  form_.onCloseRequest = nullptr;
  loop_.removeDialogWindow(hwnd());
  bindings_.clear();
}

HWND MainWindow::addControl(const char* name, const char* windowClass, DWORD style, DWORD exStyle) {
  return addChild(placeNamed(name), windowClass, style, exStyle);
}

void MainWindow::setIcons() {
  bigIcon_.reset(ApplicationIcon(GetSystemMetrics(SM_CXICON)));
  smallIcon_.reset(ApplicationIcon(GetSystemMetrics(SM_CXSMICON)));
  SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
  SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
  const int glyph = scale(kGlyphSize);
  folderGlyph_.reset(FolderIcon(glyph));
  cancelGlyph_.reset(CancelGlyph(glyph));
  closeGlyph_.reset(CloseGlyph(glyph));
  SendMessageA(child("SpeedButtonOpen"), kFlatButtonSetIcon, static_cast<WPARAM>(glyph),
               reinterpret_cast<LPARAM>(folderGlyph_.get()));
  SendMessageA(child("SpeedButton1"), BM_SETIMAGE, IMAGE_ICON,
               reinterpret_cast<LPARAM>(cancelGlyph_.get()));
  SendMessageA(child("BitBtn1"), BM_SETIMAGE, IMAGE_ICON,
               reinterpret_cast<LPARAM>(closeGlyph_.get()));
}

void MainWindow::dpiChanged() {
  // The text field of each drop-down list as high as the layout says.
  for (const char* name : {"PortComboBox", "ProtocolComboBox", "BaudComboBox"}) {
    SendMessageA(child(name), CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
                 scale(kComboHeight) - kComboFieldFrame);
  }
  setIcons();
  for (const auto& binding : bindings_) binding->refresh();  // the labels fit their text again
  InvalidateRect(hwnd(), nullptr, TRUE);
}

void MainWindow::show() {
  if (!shownBefore_) {
    shownBefore_ = true;
    // The first showing is centred on the screen, whatever place the settings gave.
    centreOver(nullptr);
  }
  ShowWindow(hwnd(), SW_SHOW);
  UpdateWindow(hwnd());
  SetFocus(child("Memo1"));
}

void MainWindow::close() {
  if (closed_) return;
  if (const Result<void> closed = form_.FormClose(); !closed) {
    // The settings could not be stored: say so and stay open, so nothing is lost silently.
    showErrorBox(closed.error().text);
    return;
  }
  closed_ = true;
  ShowWindow(hwnd(), SW_HIDE);
  Win32EventLoop::quit(0);  // the main window's close ends the program, notice window or not
}

LRESULT MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      close();
      return 0;
    case WM_MOVE:
      if (!IsIconic(hwnd())) {
        RECT outer{};
        GetWindowRect(hwnd(), &outer);
        form_.Left = outer.left;  // the outer corner, as the settings store it
        form_.Top = outer.top;
      }
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      const HDC dc = BeginPaint(hwnd(), &ps);
      const Place picture = placeNamed("Image1");
      const RECT box{scale(picture.x), scale(picture.y), scale(picture.x + picture.width),
                     scale(picture.y + picture.height)};
      DrawModulePicture(dc, box);
      EndPaint(hwnd(), &ps);
      return 0;
    }
    case WM_COMMAND:
      // Enter and Escape come to the window as IDOK and IDCANCEL; it has no such buttons.
      if (lParam == 0 && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) return 0;
      break;
    default:
      break;
  }
  return TopWindow::handle(message, wParam, lParam);
}

}  // namespace movrand::win32
