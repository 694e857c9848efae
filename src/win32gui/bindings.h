// Binds Win32 controls to the control models, both ways.
//
// A bound control shows its model's state at once and follows every later change through the
// model's listener (enabled, visible, tooltip, caption or text, items and selection, log
// lines). What the user does goes back to the model and its handler: a click to `click()`, a
// picked list item to `userSelect`, the opening of a list to `dropDown` before it shows. No
// procedure logic lives here. A binding detaches itself from its model when it is destroyed;
// the window keeps its bindings for as long as its controls live. Text is in the ANSI code
// page, as the models hold it on Windows (the file dialog and the file calls use it too).
// Main thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/controls.h"
#include "win32gui/top_window.h"

namespace movrand::win32 {

// Keeps `model`'s listener on `sync` while it lives.
class Binding {
 public:
  Binding(Control& model, std::function<void()> sync);
  virtual ~Binding();
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  // Shows the model again (after the window was laid out anew for another DPI).
  void refresh() {
    if (sync_) sync_();
  }

 protected:
  Control& model_;
  std::function<void()> sync_;
};

using Bindings = std::vector<std::unique_ptr<Binding>>;

// Enabled, visible and tooltip of `control` as the model says.
void applyCommon(TopWindow& window, HWND control, const Control& model);
// Sets the text only when it differs (a repaint without a change flickers).
void setText(HWND control, const std::string& text);

// A label (STATIC, no word wrap); when the model carries a place (the dialogs set theirs on
// every showing) the label moves there, keeping `height`, and centres its text when the model
// says so. A left-aligned label grows to fit its caption, as the window's labels size
// themselves (a font at another DPI is not always exactly as much wider as the layout).
std::unique_ptr<Binding> bindLabel(TopWindow& window, HWND control, Label& model, int height);
// A push button or a flat button; its text is the model's caption.
std::unique_ptr<Binding> bindButton(TopWindow& window, HWND control, Button& model);
// A check box without an automatic check: the model decides, the box shows its decision.
std::unique_ptr<Binding> bindCheckBox(TopWindow& window, HWND control, CheckBox& model);
// A single-line text box.
std::unique_ptr<Binding> bindEdit(TopWindow& window, HWND control, Edit& model);
// A drop-down list (CBS_DROPDOWNLIST, not sorted by the control: the model keeps the order).
// The model hears of the opening before the list shows, so it can rebuild the items; the list
// then opens with the model's number of rows and at least the model's drop-down width.
std::unique_ptr<Binding> bindComboBox(TopWindow& window, HWND control, ComboBox& model);
// The log pane: a read-only multi-line box. New lines are appended and scrolled into view; a
// rewrite of the last line replaces it in place.
std::unique_ptr<Binding> bindMemo(TopWindow& window, HWND control, Memo& model);

}  // namespace movrand::win32
