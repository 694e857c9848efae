// The warning dialog, the programming notice, the message boxes and the file-open dialog as
// real Win32 windows, behind the Dialogs and FileDialog interfaces the procedures use.
//
// AttentionDialog is modal: the main window is disabled while it runs its own message loop
// (the event loop's timers and hand-offs go on). OK is the default button and has the focus on
// every showing, so Enter confirms (ModalResult::OK); Cancel, Escape and the close box give
// ModalResult::Cancel. DevProgWindow is modeless and its close box only hides it. Both run
// their model's show handler on every showing and are centred over the main window. Main
// thread only.
#pragma once

#include <string>
#include <string_view>

#include "app/dialogs.h"
#include "app/services.h"
#include "win32gui/artwork.h"
#include "win32gui/bindings.h"
#include "win32gui/top_window.h"
#include "win32gui/win32_event_loop.h"

namespace movrand::win32 {

class AttentionDialog final : public TopWindow {
 public:
  AttentionDialog(TFormAttention& form, Win32EventLoop& loop, HWND owner);
  ~AttentionDialog() override;

  // One modal showing, from `BeginModal` to the user's answer.
  ModalResult showModal();
  bool running() const { return running_; }

 protected:
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void prepareShowing();
  void rememberOuterWidth();

  TFormAttention& form_;
  Win32EventLoop& loop_;
  HWND owner_;
  Bindings bindings_;
  Icon okGlyph_, cancelGlyph_;
  bool running_ = false;
};

class DevProgWindow final : public TopWindow {
 public:
  DevProgWindow(TFormDevProg& form, Win32EventLoop& loop, HWND owner);
  ~DevProgWindow() override;

  // Runs the show handler, centres over the main window and shows without blocking.
  void showNotice();
  void hide();

 protected:
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  TFormDevProg& form_;
  Win32EventLoop& loop_;
  HWND owner_;
  Bindings bindings_;
};

// The Dialogs of the procedures, shown by the windows above. The windows are attached after
// the main window exists (they are owned by it); until then nothing is shown.
class Win32Dialogs final : public Dialogs {
 public:
  void attach(HWND mainWindow, AttentionDialog* attention, DevProgWindow* devProg);

  ModalResult ShowAttention() override;
  void ShowDevProg() override;
  void HideDevProg() override;
  void ShowMessage(const std::string& title, const std::string& text) override;

 private:
  HWND mainWindow_ = nullptr;
  AttentionDialog* attention_ = nullptr;
  DevProgWindow* devProg_ = nullptr;
};

// The system's file-open dialog, over the main window.
class Win32FileDialog final : public FileDialog {
 public:
  void setOwner(HWND owner) { owner_ = owner; }
  bool Execute(OpenDialog& dialog) override;

 private:
  HWND owner_ = nullptr;
};

// "description|pattern[|description|pattern...]" as the file dialog takes it: each part ended
// by a NUL character, the whole by a second one.
std::string Win32FileFilter(std::string_view filter);

}  // namespace movrand::win32
