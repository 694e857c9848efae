#include "platform/controls.h"

#include <algorithm>

#include "platform/text.h"

namespace movrand {

void ComboBox::clearItems() {
  items_.clear();
  itemIndex_ = -1;
  changed();
}

int ComboBox::addItem(std::string text) {
  auto at = items_.end();
  if (sorted_) at = std::upper_bound(items_.begin(), items_.end(), text, LessIgnoringCase);
  const int index = static_cast<int>(at - items_.begin());
  items_.insert(at, std::move(text));
  // The selection stays on the same item when one is inserted before it.
  if (itemIndex_ >= index) ++itemIndex_;
  changed();
  return index;
}

void ComboBox::setItemIndex(int index) {
  if (index < 0 || index >= static_cast<int>(items_.size())) index = -1;
  assign(itemIndex_, index);
}

std::string ComboBox::text() const {
  return itemIndex_ < 0 ? std::string() : items_[static_cast<std::size_t>(itemIndex_)];
}

}  // namespace movrand

namespace movrand {

void Memo::add(std::string_view text) {
  static constexpr std::string_view kLineBreak = "\r\n";
  for (;;) {
    const std::size_t end = text.find(kLineBreak);
    lines_.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + kLineBreak.size());
  }
  changed();
}

void Memo::setLine(int index, std::string line) {
  if (index < 0 || index >= lineCount()) return;
  const auto at = static_cast<std::size_t>(index);
  if (at + 1 < lines_.size()) ++rewrites_;
  lines_[at] = std::move(line);
  changed();
}

}  // namespace movrand
