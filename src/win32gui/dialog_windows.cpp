#include "win32gui/dialog_windows.h"

#include <commctrl.h>
#include <commdlg.h>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "app/layout.h"
#include "win32gui/error_box.h"

namespace movrand::win32 {
namespace {

static_assert(kAttentionClientWidth == TFormAttention::kClientWidth);
static_assert(kAttentionClientHeight == TFormAttention::kClientHeight);
static_assert(kDevProgClientWidth == TFormDevProg::kClientWidth);
static_assert(kDevProgClientHeight == TFormDevProg::kClientHeight);

// A dialog border: fixed size, a title bar with the close box only.
constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_CLIPCHILDREN;
constexpr DWORD kDialogExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
constexpr DWORD kLabelStyle = WS_VISIBLE | SS_CENTER | SS_NOPREFIX;
constexpr int kGlyphSize = 16;
// The longest file name the dialog hands back, with its terminator.
constexpr std::size_t kFileNameCapacity = 32768;

// The outer width in 96-DPI pixels, as the models centre their labels on it.
int outerWidth(const TopWindow& window) {
  RECT outer{};
  GetWindowRect(window.hwnd(), &outer);
  return MulDiv(outer.right - outer.left, 96, window.dpi());
}

}  // namespace

// ---- AttentionDialog ------------------------------------------------------------------------

AttentionDialog::AttentionDialog(TFormAttention& form, Win32EventLoop& loop, HWND owner)
    : form_(form), loop_(loop), owner_(owner) {
  create("", kDialogStyle, kDialogExStyle, owner, kAttentionClientWidth, kAttentionClientHeight,
         FontSpec{kDialogFontPixels, false});
  const FontSpec font{kDialogFontPixels, false};
  // The labels stand where the model's show handler puts them, anew on every showing.
  const int width = outerWidth(*this);
  const HWND label1 =
      addChild(Place{"Label1", 0, 0, width, kAttentionLabelHeight}, WC_STATICA, kLabelStyle, font);
  const HWND label2 =
      addChild(Place{"Label2", 0, 0, width, kAttentionLabelHeight}, WC_STATICA, kLabelStyle, font);
  const HWND label3 =
      addChild(Place{"Label3", 0, 0, width, kAttentionLabelHeight}, WC_STATICA, kLabelStyle, font);
  // Cancel first in the keyboard order, OK second and the default button.
  const HWND cancel = addChild(requirePlace(kAttentionLayout, "BitBtnCancel"), WC_BUTTONA,
                               WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, font, 0, IDCANCEL);
  const HWND ok = addChild(requirePlace(kAttentionLayout, "BitBtnOK"), WC_BUTTONA,
                           WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, font, 0, IDOK);
  for (HWND label : {label1, label2, label3}) setTextColour(label, RGB(0, 0, 0));

  // The standard buttons' captions are the toolkit's, unless the model names its own.
  if (form_.BitBtnOK.caption().empty()) form_.BitBtnOK.setCaption("OK");
  if (form_.BitBtnCancel.caption().empty()) form_.BitBtnCancel.setCaption("Cancel");
  bindings_.push_back(bindLabel(*this, label1, form_.Label1, kAttentionLabelHeight));
  bindings_.push_back(bindLabel(*this, label2, form_.Label2, kAttentionLabelHeight));
  bindings_.push_back(bindLabel(*this, label3, form_.Label3, kAttentionLabelHeight));
  bindings_.push_back(bindButton(*this, cancel, form_.BitBtnCancel));
  bindings_.push_back(bindButton(*this, ok, form_.BitBtnOK));
  okGlyph_.reset(OkGlyph(scale(kGlyphSize)));
  cancelGlyph_.reset(CancelGlyph(scale(kGlyphSize)));
  SendMessageA(ok, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(okGlyph_.get()));
  SendMessageA(cancel, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(cancelGlyph_.get()));
  loop_.addDialogWindow(hwnd());
}

AttentionDialog::~AttentionDialog() {
  loop_.removeDialogWindow(hwnd());
  bindings_.clear();
}

void AttentionDialog::rememberOuterWidth() {
  form_.Width = outerWidth(*this);
}

void AttentionDialog::prepareShowing() {
  rememberOuterWidth();
  form_.BeginModal();  // texts and label places anew, focus on OK
  setText(hwnd(), form_.Caption);
  centreOver(owner_);
}

ModalResult AttentionDialog::showModal() {
  prepareShowing();
  running_ = true;
  const bool ownerWasEnabled = owner_ && IsWindowEnabled(owner_);
  if (ownerWasEnabled) EnableWindow(owner_, FALSE);
  ShowWindow(hwnd(), SW_SHOW);
  SendMessageA(hwnd(), DM_SETDEFID, IDOK, 0);
  const HWND focus = form_.ActiveControl == &form_.BitBtnCancel ? GetDlgItem(hwnd(), IDCANCEL)
                                                                : GetDlgItem(hwnd(), IDOK);
  SendMessageA(hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
  // Until the user answers, or the program is told to end (the loop then sees WM_QUIT again).
  loop_.runUntil([this] { return form_.modalResult != ModalResult::None; },
                 std::chrono::hours(24 * 365));
  running_ = false;
  // The owner first, so that it is the window that becomes active again.
  if (ownerWasEnabled) EnableWindow(owner_, TRUE);
  ShowWindow(hwnd(), SW_HIDE);
  if (owner_) SetActiveWindow(owner_);
  // A modal loop ended by anything else (the program ending) is no confirmation.
  if (form_.modalResult == ModalResult::None) form_.modalResult = ModalResult::Cancel;
  return form_.modalResult;
}

LRESULT AttentionDialog::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED &&
      (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    // The buttons, Enter (the default button, IDOK) and Escape (IDCANCEL) alike.
    if (LOWORD(wParam) == IDOK) {
      form_.BitBtnOK.click();
    } else {
      form_.BitBtnCancel.click();
    }
    return 0;
  }
  if (message == WM_CLOSE) {
    if (running_) form_.CloseByUser();
    return 0;
  }
  return TopWindow::handle(message, wParam, lParam);
}

// ---- DevProgWindow --------------------------------------------------------------------------

DevProgWindow::DevProgWindow(TFormDevProg& form, Win32EventLoop& loop, HWND owner)
    : form_(form), loop_(loop), owner_(owner) {
  const FontSpec font{kDialogFontPixels, true};
  create("", kDialogStyle, kDialogExStyle, owner, kDevProgClientWidth, kDevProgClientHeight, font);
  // The labels stand where the model's show handler puts them, anew on every showing.
  const int width = outerWidth(*this);
  const HWND label1 =
      addChild(Place{"Label1", 0, 0, width, kAttentionLabelHeight}, WC_STATICA, kLabelStyle, font);
  const HWND label2 =
      addChild(Place{"Label2", 0, 0, width, kAttentionLabelHeight}, WC_STATICA, kLabelStyle, font);
  for (HWND label : {label1, label2}) setTextColour(label, RGB(255, 0, 0));
  bindings_.push_back(bindLabel(*this, label1, form_.Label1, kAttentionLabelHeight));
  bindings_.push_back(bindLabel(*this, label2, form_.Label2, kAttentionLabelHeight));
  loop_.addDialogWindow(hwnd());
}

DevProgWindow::~DevProgWindow() {
  loop_.removeDialogWindow(hwnd());
  bindings_.clear();
}

void DevProgWindow::showNotice() {
  form_.Width = outerWidth(*this);
  form_.FormShow();
  setText(hwnd(), form_.Caption);
  if (!IsWindowVisible(hwnd())) centreOver(owner_);
  ShowWindow(hwnd(), SW_SHOW);
  BringWindowToTop(hwnd());
}

void DevProgWindow::hide() {
  ShowWindow(hwnd(), SW_HIDE);
}

LRESULT DevProgWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE || (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)) {
    hide();  // the close box (or Escape) only hides the notice
    return 0;
  }
  return TopWindow::handle(message, wParam, lParam);
}

// ---- Win32Dialogs ---------------------------------------------------------------------------

void Win32Dialogs::attach(HWND mainWindow, AttentionDialog* attention, DevProgWindow* devProg) {
  mainWindow_ = mainWindow;
  attention_ = attention;
  devProg_ = devProg;
}

ModalResult Win32Dialogs::ShowAttention() {
  // No window yet means nobody could confirm: never a silent "go on".
  return attention_ ? attention_->showModal() : ModalResult::Cancel;
}

void Win32Dialogs::ShowDevProg() {
  if (devProg_) devProg_->showNotice();
}

void Win32Dialogs::HideDevProg() {
  if (devProg_) devProg_->hide();
}

void Win32Dialogs::ShowMessage(const std::string& title, const std::string& text) {
  MessageBoxA(mainWindow_, text.c_str(), title.c_str(), MB_OK);
}

// ---- Win32FileDialog ------------------------------------------------------------------------

std::string Win32FileFilter(std::string_view filter) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t bar = filter.find('|');
    parts.push_back(filter.substr(0, bar));
    if (bar == std::string_view::npos) break;
    filter.remove_prefix(bar + 1);
  }
  // A description without its pattern is dropped rather than taken for a pattern.
  if (parts.size() % 2 != 0) parts.pop_back();
  std::string result;
  for (std::string_view part : parts) {
    result.append(part);
    result.push_back('\0');
  }
  result.push_back('\0');
  return result;
}

bool Win32FileDialog::Execute(OpenDialog& dialog) {
  std::vector<char> file(kFileNameCapacity, '\0');
  // A file chosen before is pre-set (and the dialog opens in its folder); a name the buffer
  // cannot hold is not pre-set at all rather than cut.
  if (dialog.FileName.size() < file.size() && dialog.FileName.find('\0') == std::string::npos) {
    dialog.FileName.copy(file.data(), dialog.FileName.size());
  }
  const std::string filter = Win32FileFilter(dialog.Filter);
  OPENFILENAMEA request{};
  request.lStructSize = sizeof request;
  request.hwndOwner = owner_;
  request.lpstrFilter = filter.c_str();
  request.nFilterIndex = 1;
  request.lpstrFile = file.data();
  request.nMaxFile = static_cast<DWORD>(file.size());
  request.lpstrInitialDir = dialog.InitialDir.empty() ? nullptr : dialog.InitialDir.c_str();
  // The current directory stays where it was; only an existing file can be chosen.
  request.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR |
                  OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (!GetOpenFileNameA(&request)) return false;
  dialog.FileName.assign(file.data());
  return true;
}

}  // namespace movrand::win32
