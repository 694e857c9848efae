// The terminal window on screen: the Win32 controls of TTermForm, bound to its control models.
//
// A fixed-size window (client 697 x 297 at 96 DPI, minimise and close boxes only), owned by the
// main window, that first appears at the screen place the layout gives and follows the
// model's caption and visibility. Its close box runs the model's `Close`, which hides it; the
// window is never destroyed before the program ends. The text box shows the model's bytes one
// 8-bit character each in the ANSI code page (only CR LF breaks a line), wraps them at its
// width and gives the model that very wrapping, measured with the box's own font, to count and
// trim lines by. What the user types goes back into the model. Main thread only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/terminal.h"
#include "win32gui/bindings.h"
#include "win32gui/top_window.h"
#include "win32gui/win32_event_loop.h"

namespace movrand::win32 {

class TerminalWindow final : public TopWindow {
 public:
  TerminalWindow(TTermForm& form, Win32EventLoop& loop, HWND owner);
  ~TerminalWindow() override;

  TTermForm& form() { return form_; }
  // Where the box wraps `paragraph` (bytes without CR LF): the offsets its lines start at.
  std::vector<std::size_t> wrap(std::string_view paragraph) const;

 protected:
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void syncWindow();
  void syncText();
  void syncToggle();
  void syncRadioGroup();
  void userEdited();

  TTermForm& form_;
  Win32EventLoop& loop_;
  HWND memo_ = nullptr;
  HWND toggle_ = nullptr;
  HWND group_ = nullptr;
  std::vector<HWND> radios_;
  Bindings bindings_;
  std::string shown_;  // the model's text as last shown or taken from the user
  bool syncing_ = false;
};

}  // namespace movrand::win32
