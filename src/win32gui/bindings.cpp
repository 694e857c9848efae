#include "win32gui/bindings.h"

#include <commctrl.h>

#include <algorithm>

#include "win32gui/error_box.h"

namespace movrand::win32 {
namespace {

bool hasStyle(HWND control, LONG_PTR bits) {
  return (GetWindowLongPtrA(control, GWL_STYLE) & bits) == bits;
}

class ComboBinding final : public Binding {
 public:
  ComboBinding(TopWindow& window, HWND control, ComboBox& model)
      : Binding(model, [this] { sync(); }), window_(window), control_(control), combo_(model) {
    sync();
    window.onCommand(control, [this](WORD code) { command(code); });
  }

 private:
  void sync() {
    if (combo_.items() != shown_) {
      SendMessageA(control_, CB_RESETCONTENT, 0, 0);
      for (const std::string& item : combo_.items()) {
        SendMessageA(control_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
      }
      shown_ = combo_.items();
    }
    if (SendMessageA(control_, CB_GETCURSEL, 0, 0) != combo_.itemIndex()) {
      SendMessageA(control_, CB_SETCURSEL, static_cast<WPARAM>(combo_.itemIndex()), 0);
    }
    applyCommon(window_, control_, combo_);
  }

  void command(WORD code) {
    if (code == CBN_DROPDOWN) {
      // The model may rebuild the items; the listener has shown them by now. Should that
      // fail, the error box has said so and the list closes again.
      if (!runGuarded([&] { combo_.dropDown(); })) {
        SendMessageA(control_, CB_SHOWDROPDOWN, FALSE, 0);
        return;
      }
      SendMessageA(control_, CB_SETMINVISIBLE,
                   static_cast<WPARAM>(std::max(1, combo_.dropDownCount())), 0);
      const int width = combo_.dropDownWidth() > 0 ? window_.scale(combo_.dropDownWidth()) : 0;
      SendMessageA(control_, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(width), 0);
    } else if (code == CBN_SELCHANGE) {
      // From the user only: the view's own CB_SETCURSEL sends no notification.
      const auto index = static_cast<int>(SendMessageA(control_, CB_GETCURSEL, 0, 0));
      combo_.userSelect(index);
      sync();  // the model may have decided otherwise
    }
  }

  TopWindow& window_;
  HWND control_;
  ComboBox& combo_;
  std::vector<std::string> shown_;
};

class MemoBinding final : public Binding {
 public:
  MemoBinding(TopWindow& window, HWND control, Memo& model)
      : Binding(model, [this] { sync(); }), window_(window), control_(control), memo_(model) {
    // A multi-line box takes 30,000 characters unless told otherwise: no limit but memory.
    SendMessageA(control_, EM_SETLIMITTEXT, 0, 0);
    sync();
  }

 private:
  void sync() {
    applyCommon(window_, control_, memo_);
    const auto& lines = memo_.lines();
    bool changed = false;
    // Cleared (and perhaps refilled since), or a line above the last rewritten: draw anew.
    if (lines.size() < shown_ || memo_.rewrites() != rewritesShown_) {
      rewritesShown_ = memo_.rewrites();
      SetWindowTextA(control_, "");
      shown_ = 0;
      lastShown_.clear();
      lastLineStart_ = 0;
      changed = true;
    } else if (shown_ > 0 && lines[shown_ - 1] != lastShown_) {
      replace(lastLineStart_, lines[shown_ - 1]);
      lastShown_ = lines[shown_ - 1];
      changed = true;
    }
    for (; shown_ < lines.size(); ++shown_) {
      const int end = GetWindowTextLengthA(control_);
      if (shown_ > 0) {
        replace(end, "\r\n" + lines[shown_]);
        lastLineStart_ = end + 2;
      } else {
        replace(end, lines[shown_]);
        lastLineStart_ = end;
      }
      lastShown_ = lines[shown_];
      changed = true;
    }
    if (changed) {
      const int end = GetWindowTextLengthA(control_);
      SendMessageA(control_, EM_SETSEL, static_cast<WPARAM>(end), end);
      SendMessageA(control_, EM_SCROLLCARET, 0, 0);
    }
  }

  // Replaces the text from `from` to the end with `text`.
  void replace(int from, const std::string& text) {
    SendMessageA(control_, EM_SETSEL, static_cast<WPARAM>(from), -1);
    SendMessageA(control_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  }

  TopWindow& window_;
  HWND control_;
  Memo& memo_;
  std::size_t shown_ = 0;            // model lines shown so far
  std::string lastShown_;            // the last of them as shown
  int lastLineStart_ = 0;            // character position where it starts
  std::uint64_t rewritesShown_ = 0;  // the model's count of rewrites above the last line
};

// Widens a control whose text is wider than it is (never narrows it).
void fitWidth(HWND control, const std::string& text) {
  const HDC dc = GetDC(control);
  if (!dc) return;
  const HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
  SIZE extent{};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  RECT rect{};
  GetClientRect(control, &rect);
  if (extent.cx > rect.right) {
    RECT outer{};
    GetWindowRect(control, &outer);
    SetWindowPos(control, nullptr, 0, 0, extent.cx, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

// Shows the model now and on every change.
std::unique_ptr<Binding> follow(Control& model, std::function<void()> sync) {
  sync();
  return std::make_unique<Binding>(model, std::move(sync));
}

}  // namespace

Binding::Binding(Control& model, std::function<void()> sync) : model_(model), sync_(sync) {
  model_.setListener(std::move(sync));
}

Binding::~Binding() {
  model_.setListener(nullptr);
}

void applyCommon(TopWindow& window, HWND control, const Control& model) {
  if ((IsWindowEnabled(control) != FALSE) != model.enabled()) {
    EnableWindow(control, model.enabled() ? TRUE : FALSE);
  }
  if (hasStyle(control, WS_VISIBLE) != model.visible()) {
    ShowWindow(control, model.visible() ? SW_SHOWNA : SW_HIDE);
  }
  window.setTooltip(control, model.hint());
}

void setText(HWND control, const std::string& text) {
  if (WindowText(control) != text) SetWindowTextA(control, text.c_str());
}

std::unique_ptr<Binding> bindLabel(TopWindow& window, HWND control, Label& model, int height) {
  return follow(model, [&window, control, &model, height] {
    setText(control, model.caption());
    if (model.left() >= 0) {
      window.moveChild(control, Place{"", model.left(), model.top(), model.width(), height});
    }
    const LONG_PTR style = GetWindowLongPtrA(control, GWL_STYLE);
    const LONG_PTR aligned = (style & ~static_cast<LONG_PTR>(SS_TYPEMASK)) |
                             (model.centred() ? SS_CENTER : SS_LEFTNOWORDWRAP);
    if (aligned != style) {
      SetWindowLongPtrA(control, GWL_STYLE, aligned);
      InvalidateRect(control, nullptr, TRUE);
    }
    if (!model.centred()) fitWidth(control, model.caption());
    applyCommon(window, control, model);
  });
}

std::unique_ptr<Binding> bindButton(TopWindow& window, HWND control, Button& model) {
  window.onCommand(control, [&model](WORD code) {
    if (code == BN_CLICKED) model.click();
  });
  return follow(model, [&window, control, &model] {
    setText(control, model.caption());
    applyCommon(window, control, model);
  });
}

std::unique_ptr<Binding> bindCheckBox(TopWindow& window, HWND control, CheckBox& model) {
  auto sync = [&window, control, &model] {
    setText(control, model.caption());
    SendMessageA(control, BM_SETCHECK, model.checked() ? BST_CHECKED : BST_UNCHECKED, 0);
    applyCommon(window, control, model);
  };
  window.onCommand(control, [&model, sync](WORD code) {
    if (code != BN_CLICKED) return;
    model.click();
    sync();
  });
  return follow(model, sync);
}

std::unique_ptr<Binding> bindEdit(TopWindow& window, HWND control, Edit& model) {
  return follow(model, [&window, control, &model] {
    if (WindowText(control) != model.text()) {
      SetWindowTextA(control, model.text().c_str());
      SendMessageA(control, EM_SETSEL, 0, 0);  // show the start of a long name
    }
    applyCommon(window, control, model);
  });
}

std::unique_ptr<Binding> bindComboBox(TopWindow& window, HWND control, ComboBox& model) {
  return std::make_unique<ComboBinding>(window, control, model);
}

std::unique_ptr<Binding> bindMemo(TopWindow& window, HWND control, Memo& model) {
  return std::make_unique<MemoBinding>(window, control, model);
}

}  // namespace movrand::win32
