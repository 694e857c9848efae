#include "app/terminal.h"

#include <algorithm>
#include <span>

#include "app/main_form.h"
#include "platform/text.h"

namespace movrand {
namespace {

constexpr std::string_view kLineBreak = "\r\n";  // the only break the box knows

WrapFunction HeadlessWrap() {
  return [](std::string_view paragraph) {
    return WrapAtColumns(paragraph, TTermForm::kHeadlessWrapColumns);
  };
}

// The start of the first whole displayed line from which the rest of `text` holds at most
// `limit` bytes; a single line longer than that is cut inside.
std::size_t CutForLimit(std::string_view text, const std::vector<std::size_t>& starts,
                        std::size_t limit) {
  if (text.size() <= limit) return 0;
  const std::size_t least = text.size() - limit;
  const auto at = std::lower_bound(starts.begin(), starts.end(), least);
  return at == starts.end() ? least : *at;
}

}  // namespace

std::vector<std::size_t> WrapAtColumns(std::string_view paragraph, std::size_t columns) {
  std::vector<std::size_t> starts{0};
  if (columns == 0) return starts;
  std::size_t start = 0;
  while (paragraph.size() - start > columns) {
    // A blank may stand in the last column or just past it: it ends the line either way.
    const std::size_t blank = paragraph.substr(start, columns + 1).rfind(' ');
    start += blank == std::string_view::npos ? columns : blank + 1;
    if (start >= paragraph.size()) break;  // only the hanging blank was left
    starts.push_back(start);
  }
  return starts;
}

std::vector<std::size_t> DisplayLineStarts(std::string_view text, const WrapFunction& wrap) {
  std::vector<std::size_t> starts;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find(kLineBreak, at);
    const std::string_view paragraph =
        text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    starts.push_back(at);
    if (!paragraph.empty() && wrap) {
      // Only rising offsets inside the paragraph count: a measurement cannot cut the text
      // into pieces that overlap or lie outside it.
      std::size_t last = 0;
      for (const std::size_t offset : wrap(paragraph)) {
        if (offset <= last || offset >= paragraph.size()) continue;
        starts.push_back(at + offset);
        last = offset;
      }
    }
    if (end == std::string_view::npos) break;
    at = end + kLineBreak.size();
  }
  return starts;
}

TTermForm::TTermForm(TMainForm& mainForm)
    : mainForm_(mainForm), caption_("Terminal "), wrap_(HeadlessWrap()) {
  SpeedButton1.setCaption("Stop");
  RadioGroup1.setCaption("Format");
  RadioGroup1.setColumns(2);
  RadioGroup1.addItem("String");
  RadioGroup1.addItem("Hex");
  RadioGroup1.setItemIndex(kFormatString);
  Button1.setCaption("Clear");
  SpeedButton1.onClick = [this] { SpeedButton1Click(); };
  RadioGroup1.onClick = [this] { RadioGroup1Click(); };
  Button1.onClick = [this] { Button1Click(); };
  Monitoring = false;
}

void TTermForm::SetCaption(std::string caption) {
  if (caption_ == caption) return;
  caption_ = std::move(caption);
  notify();
}

void TTermForm::Show() {
  visible_ = true;
  notify();  // also when already shown: the view brings the window to the front
}

void TTermForm::Close() {
  FormClose();
  if (!visible_) return;
  visible_ = false;
  notify();
}

void TTermForm::notify() {
  if (listener_) listener_();
}

void TTermForm::FormClose() {
  // Unchecking the box runs its handler, which closes this window too; that inner close
  // finds the box unchecked already, so the two end here.
  if (mainForm_.CheckBox1.checked()) {
    mainForm_.CheckBox1.setChecked(false);
    mainForm_.CheckBox1Click();
  }
  Monitoring = false;
}

void TTermForm::SpeedButton1Click() {
  if (SpeedButton1.down()) {
    SpeedButton1.setCaption("Start");
    Monitoring = false;  // the text stays as it is
  } else {
    SpeedButton1.setCaption("Stop");
    Monitoring = true;
  }
}

void TTermForm::RadioGroup1Click() {
  Memo1.clear();
}

void TTermForm::Button1Click() {
  Memo1.clear();
}

void TTermForm::ClearText() {
  Memo1.clear();
}

void TTermForm::Echo(const std::uint8_t* data, int length) {
  TermText.clear();
  if (!Monitoring || length <= 0 || data == nullptr) return;
  const std::span<const std::uint8_t> bytes(data, static_cast<std::size_t>(length));
  const bool asString = RadioGroup1.itemIndex() == kFormatString;
  if (asString) {
    // As 8-bit text up to the first zero byte: the rest of such a chunk is not shown.
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    TermText.assign(bytes.begin(), end);
  } else {
    // "%02X " for every byte, all on the current line: the box wraps it.
    TermText.reserve(bytes.size() * 3);
    for (const std::uint8_t byte : bytes) {
      AppendHex(TermText, byte, 2);
      TermText += ' ';
    }
  }

  std::string text = Memo1.text() + TermText;
  std::vector<std::size_t> starts = DisplayLineStarts(text, wrap_);
  if (starts.size() > kMaxDisplayedLines) {
    // Once per chunk, whatever the count: a chunk that brought many lines leaves more than
    // 15, and the following chunks take them down a few at a time.
    const std::size_t drop = asString ? kTrimString : kTrimHex;
    const std::size_t cut = starts[drop];
    text.erase(0, cut);
    for (std::size_t& start : starts) start -= std::min(start, cut);
  }
  if (const std::size_t cut = CutForLimit(text, starts, kMaxTextBytes); cut > 0) {
    text.erase(0, cut);
  }
  Memo1.setText(std::move(text));
}

void TTermForm::SetWrap(WrapFunction wrap) {
  wrap_ = wrap ? std::move(wrap) : HeadlessWrap();
}

std::size_t TTermForm::DisplayedLineCount() const {
  return DisplayLineStarts(Memo1.text(), wrap_).size();
}

void TMainForm::CheckBox1Click() {
  if (!TermForm) return;
  if (CheckBox1.checked()) {
    TermForm->Show();
    TermForm->Monitoring = true;  // even while its Stop button is down (reads "Start")
    TermForm->SetCaption("Terminal (" + PortComboBox.text() + ")");
  } else {
    TermForm->Monitoring = false;
    TermForm->Close();
  }
}

}  // namespace movrand
