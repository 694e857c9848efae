// The main window on screen: the Win32 controls of TMainForm, bound to its control models.
//
// A fixed-size window (client 318 x 344 at 96 DPI, single border, minimise and close boxes
// only) that places every control from the layout table, draws the picture in the place of
// `Image1`, shows the model's caption and follows the models through the bindings. The close
// box and the Close button both end in `FormClose`; when it succeeds the window hides and the
// message loop ends, when it fails the message is shown and the window stays open. On its
// first showing the window is centred on the screen; every move is written back to the
// model's `Left` and `Top`. Main thread only.
#pragma once

#include "app/main_form.h"
#include "win32gui/artwork.h"
#include "win32gui/bindings.h"
#include "win32gui/top_window.h"
#include "win32gui/win32_event_loop.h"

namespace movrand::win32 {

class MainWindow final : public TopWindow {
 public:
  MainWindow(TMainForm& form, Win32EventLoop& loop);
  ~MainWindow() override;

  TMainForm& form() { return form_; }
  // Shows the window (centred on its first showing) with the focus on the log pane.
  void show();
  // True once the window has closed for good (its FormClose succeeded).
  bool closed() const { return closed_; }

 protected:
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;
  void dpiChanged() override;

 private:
  HWND addControl(const char* name, const char* windowClass, DWORD style, DWORD exStyle = 0);
  void setIcons();
  void close();

  TMainForm& form_;
  Win32EventLoop& loop_;
  Bindings bindings_;
  Icon bigIcon_, smallIcon_, folderGlyph_, cancelGlyph_, closeGlyph_;
  bool shownBefore_ = false;
  bool closed_ = false;
};

}  // namespace movrand::win32
