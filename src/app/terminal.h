// The terminal window as a plain model: the bytes received from the module, shown as text or
// as hexadecimal byte values while test mode's "Show process" is checked.
//
// The window is built hidden with the main window and lives as long as it; closing it only
// hides it, and its text survives. The receive handler hands it every chunk (`Echo`); while
// `Monitoring` is on, the chunk's rendering is appended to the box, which is then trimmed
// from the top once it shows more than 15 lines. What the program sends is never shown. A
// view follows the components and the window's caption and visibility through their
// listeners, and installs the measurement by which the box wraps its lines. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/controls.h"

namespace movrand {

class TMainForm;

// Where the displayed lines of one paragraph (text without CR LF) start, as offsets into it:
// the first is 0, each further one marks a place where the box wraps the paragraph.
using WrapFunction = std::function<std::vector<std::size_t>(std::string_view paragraph)>;

// Word wrap at `columns` characters: a line ends after the last blank that fits, or after
// `columns` characters when no blank does. Used where no view measures the box.
std::vector<std::size_t> WrapAtColumns(std::string_view paragraph, std::size_t columns);

// The starts of the displayed lines of `text`, as offsets into it. Paragraphs end at CR LF
// (a lone CR or LF breaks nothing); text that ends with CR LF shows an empty last line, and
// an empty text one empty line.
std::vector<std::size_t> DisplayLineStarts(std::string_view text, const WrapFunction& wrap);

class TTermForm {
 public:
  // The window as laid out: outer top-left corner on the screen and client area.
  static constexpr int kLeft = 712;
  static constexpr int kTop = 202;
  static constexpr int kClientWidth = 697;
  static constexpr int kClientHeight = 297;

  // The box shows this many lines at its height; beyond them the oldest are trimmed.
  static constexpr std::size_t kMaxDisplayedLines = 15;
  // Lines trimmed at once from the top of the box, after a chunk in each format.
  static constexpr std::size_t kTrimString = 3;
  static constexpr std::size_t kTrimHex = 5;
  // The most bytes the box holds. Chunks that add more lines than a trim removes would
  // otherwise grow it without end, and every chunk rewrites the whole text; over this, the
  // oldest whole lines go. A full chunk (10240 bytes, 30720 characters in hexadecimal) fits.
  static constexpr std::size_t kMaxTextBytes = 32768;
  // Where no view measures the box: its width in average characters of its font.
  static constexpr std::size_t kHeadlessWrapColumns = 84;

  // The items of RadioGroup1.
  static constexpr int kFormatString = 0;
  static constexpr int kFormatHex = 1;

  // Builds the window hidden, with `Monitoring` off; `mainForm` owns "Show process".
  explicit TTermForm(TMainForm& mainForm);
  TTermForm(const TTermForm&) = delete;
  TTermForm& operator=(const TTermForm&) = delete;

  // ---- Components -----------------------------------------------------------------------
  TextBox Memo1;              // the received text; editable, word wrap, vertical scroll bar
  ToggleButton SpeedButton1;  // "Stop" (up) / "Start" (down)
  RadioGroup RadioGroup1;     // "Format": "String", "Hex"
  Button Button1;             // "Clear"

  // True while received chunks are echoed.
  bool Monitoring = false;
  // The rendering of the chunk being echoed; emptied for every chunk.
  std::string TermText;

  // ---- The window -------------------------------------------------------------------------
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  bool Visible() const { return visible_; }
  // Shows the window (and brings it to the front).
  void Show();
  // Closes the window: `FormClose` runs, then the window hides. The view's close box comes
  // here too.
  void Close();
  // The view's listener: called after the caption or the visibility changed.
  void setListener(std::function<void()> listener) { listener_ = std::move(listener); }

  // ---- Handlers ---------------------------------------------------------------------------
  // Unchecks "Show process" in the main window (its handler then runs) and stops monitoring.
  void FormClose();
  void SpeedButton1Click();  // pause or resume the echo
  void RadioGroup1Click();   // a format was chosen: empties the box
  void Button1Click();       // "Clear": empties the box

  // Echoes a received chunk when monitoring.
  void Echo(const std::uint8_t* data, int length);
  // Empties the shown text (each connect click in test mode).
  void ClearText();

  // How the box wraps its lines; an empty function restores the headless measurement.
  void SetWrap(WrapFunction wrap);
  // The box's displayed lines as it wraps them now.
  std::size_t DisplayedLineCount() const;

 private:
  void notify();

  TMainForm& mainForm_;
  std::string caption_;
  bool visible_ = false;
  WrapFunction wrap_;
  std::function<void()> listener_;
};

}  // namespace movrand
