// Control models: the state of each window component that the procedures read and write.
//
// A window is a plain object whose members are these models, named as the components are
// (`SpeedButtonSynch`, `BaudComboBox`, `Memo1` ...). The procedures work on the models only;
// a view (the Qt windows, the headless front end, a test) follows them through one change
// listener per control and feeds user actions back through the handlers. Main thread only.
//
// They stand for the GUI class library's standard controls, which is why they sit with the
// other seams to the system (the timers and the message loop are in event_loop.h): every
// subsystem that reaches the window may use them, and they depend on nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace movrand {

class Control {
 public:
  virtual ~Control() = default;

  bool enabled() const { return enabled_; }
  void setEnabled(bool on) { assign(enabled_, on); }
  bool visible() const { return visible_; }
  void setVisible(bool on) { assign(visible_, on); }
  // The tooltip.
  const std::string& hint() const { return hint_; }
  void setHint(std::string text) { assign(hint_, std::move(text)); }

  // The view's listener: called after any property of this control changed.
  void setListener(std::function<void()> listener) { listener_ = std::move(listener); }

 protected:
  template <typename T, typename U>
  void assign(T& field, U&& value) {
    if (field == value) return;
    field = std::forward<U>(value);
    changed();
  }
  void changed() {
    if (listener_) listener_();
  }

 private:
  bool enabled_ = true;
  bool visible_ = true;
  std::string hint_;
  std::function<void()> listener_;
};

// A label, a button or a check box: something with a caption.
class CaptionControl : public Control {
 public:
  const std::string& caption() const { return caption_; }
  void setCaption(std::string text) { assign(caption_, std::move(text)); }

 private:
  std::string caption_;
};

// A one-line text label. Its place is kept only where a procedure sets it (the dialogs centre
// their labels on every showing); otherwise the view's layout decides and these stay -1.
class Label : public CaptionControl {
 public:
  int left() const { return left_; }
  int top() const { return top_; }
  int width() const { return width_; }
  void setBounds(int left, int top, int width) {
    if (left_ == left && top_ == top && width_ == width) return;
    left_ = left;
    top_ = top;
    width_ = width;
    changed();
  }
  bool centred() const { return centred_; }
  void setCentred(bool on) { assign(centred_, on); }

 private:
  int left_ = -1;
  int top_ = -1;
  int width_ = -1;
  bool centred_ = false;
};

// A push button (flat speed button or bitmap button). The view calls `click()`.
class Button : public CaptionControl {
 public:
  std::function<void()> onClick;
  void click() {
    if (enabled() && onClick) onClick();
  }
  // A number the procedures keep with the button (not shown).
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }

 private:
  int tag_ = 0;
};

class CheckBox : public CaptionControl {
 public:
  bool checked() const { return checked_; }
  void setChecked(bool on) { assign(checked_, on); }
  std::function<void()> onClick;
  // The user toggled the box.
  void click() {
    if (!enabled()) return;
    setChecked(!checked_);
    if (onClick) onClick();
  }

 private:
  bool checked_ = false;
};

// A single-line text box.
class Edit : public Control {
 public:
  const std::string& text() const { return text_; }
  void setText(std::string text) { assign(text_, std::move(text)); }

 private:
  std::string text_;
};

// A drop-down list. `itemIndex` is -1 when nothing is selected.
class ComboBox : public Control {
 public:
  const std::vector<std::string>& items() const { return items_; }
  void clearItems();
  // Adds an item at the end, or at its place without regard to case when the list is sorted;
  // returns its index.
  int addItem(std::string text);
  bool sorted() const { return sorted_; }
  void setSorted(bool on) { sorted_ = on; }

  int itemIndex() const { return itemIndex_; }
  // An index outside the list selects nothing.
  void setItemIndex(int index);
  // The selected item's text, empty when nothing is selected.
  std::string text() const;

  int dropDownCount() const { return dropDownCount_; }
  void setDropDownCount(int rows) { assign(dropDownCount_, rows); }
  int dropDownWidth() const { return dropDownWidth_; }
  void setDropDownWidth(int pixels) { assign(dropDownWidth_, pixels); }

  // The user picked an item (the view has set the index first).
  std::function<void()> onChange;
  // The list is about to open; runs before it shows.
  std::function<void()> onDropDown;
  void userSelect(int index) {
    setItemIndex(index);
    if (onChange) onChange();
  }
  void dropDown() {
    if (onDropDown) onDropDown();
  }

 private:
  std::vector<std::string> items_;
  int itemIndex_ = -1;
  bool sorted_ = false;
  int dropDownCount_ = 8;
  int dropDownWidth_ = 0;
};

// The multi-line log pane.
class Memo : public Control {
 public:
  const std::vector<std::string>& lines() const { return lines_; }
  int lineCount() const { return static_cast<int>(lines_.size()); }
  // Appends `text` as new last lines: each CR LF in it starts another line.
  void add(std::string_view text);
  // Rewrites line `index` in place; an index outside the pane changes nothing.
  void setLine(int index, std::string line);
  // Counts the rewrites of lines other than the last, so a view knows to redraw them.
  std::uint64_t rewrites() const { return rewrites_; }
  // Rewrites the last line in place (adds one when the pane is empty).
  void setLastLine(std::string line) {
    if (lines_.empty()) {
      lines_.push_back(std::move(line));
    } else {
      lines_.back() = std::move(line);
    }
    changed();
  }
  void clear() {
    lines_.clear();
    changed();
  }

 private:
  std::vector<std::string> lines_;
  std::uint64_t rewrites_ = 0;
};

// A multi-line text box that holds one text and wraps it at its width (the terminal's box).
// The text is bytes, each shown as one 8-bit character; only CR LF breaks a line. The user
// may type into it: the view then sets the edited text.
class TextBox : public Control {
 public:
  const std::string& text() const { return text_; }
  void setText(std::string text) { assign(text_, std::move(text)); }
  void clear() { setText(std::string()); }

 private:
  std::string text_;
};

// A speed button that stays down after a click and comes up at the next (a group of its own
// that may be all up). The view calls `click()`; `onClick` sees the new position.
class ToggleButton : public CaptionControl {
 public:
  bool down() const { return down_; }
  void setDown(bool on) { assign(down_, on); }
  std::function<void()> onClick;
  void click() {
    if (!enabled()) return;
    setDown(!down_);
    if (onClick) onClick();
  }

 private:
  bool down_ = false;
};

// A captioned group of radio buttons, laid out in `columns` columns. `itemIndex` is -1 when
// none is selected.
class RadioGroup : public CaptionControl {
 public:
  const std::vector<std::string>& items() const { return items_; }
  void addItem(std::string text) {
    items_.push_back(std::move(text));
    changed();
  }
  int itemIndex() const { return itemIndex_; }
  // An index outside the list selects nothing.
  void setItemIndex(int index) {
    assign(itemIndex_, index >= 0 && index < static_cast<int>(items_.size()) ? index : -1);
  }
  int columns() const { return columns_; }
  void setColumns(int columns) { assign(columns_, columns); }

  // The user picked an item; `onClick` runs when that changed the selection.
  std::function<void()> onClick;
  void userSelect(int index) {
    if (!enabled() || index == itemIndex_ || index < 0 ||
        index >= static_cast<int>(items_.size())) {
      return;
    }
    setItemIndex(index);
    if (onClick) onClick();
  }

 private:
  std::vector<std::string> items_;
  int itemIndex_ = -1;
  int columns_ = 1;
};

// The window's file-open dialog: what it starts with and, after the user accepted, the
// chosen file. The chosen path stays here between runs of the dialog; it is what the settings
// store and what programming opens.
struct OpenDialog {
  std::string FileName;    // full path of the chosen file; empty when none was chosen
  std::string InitialDir;  // folder the dialog opens in
  std::string Filter = "binary (*.bin)|*.bin";  // "description|pattern" pairs
};

}  // namespace movrand
