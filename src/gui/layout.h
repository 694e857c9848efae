// Where every component of the windows stands: one table per window, in client pixels.
//
// The windows place their widgets from these tables and nowhere else, and the tests check the
// built widgets against the same tables. Heights are the standard heights of each kind of
// control at the window's 15-pixel font (drop-down lists and text boxes 23, buttons 25, labels
// and the check box one text line).
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace movrand::gui {

struct Place {
  std::string_view name;  // the component's name, also the widget's object name
  int x;
  int y;
  int width;
  int height;
};

inline constexpr int kMainClientWidth = 318;
inline constexpr int kMainClientHeight = 344;

inline constexpr int kLabelHeight = 17;
inline constexpr int kComboHeight = 23;
inline constexpr int kEditHeight = 23;
inline constexpr int kButtonHeight = 25;

inline constexpr std::array kMainWindowLayout{
    Place{"LabelPort", 8, 10, 65, kLabelHeight},
    Place{"PortComboBox", 80, 8, 81, kComboHeight},
    Place{"LabelProtocol", 8, 51, 65, kLabelHeight},
    Place{"ProtocolComboBox", 80, 48, 81, kComboHeight},
    Place{"LabelBaud", 8, 91, 70, kLabelHeight},
    Place{"BaudComboBox", 80, 88, 81, kComboHeight},
    Place{"Image1", 162, 0, 153, 121},
    Place{"LabelFile", 8, 130, 65, kLabelHeight},
    Place{"Edit1", 80, 128, 209, kEditHeight},
    Place{"SpeedButtonOpen", 289, 128, 23, 25},
    Place{"SpeedButtonSynch", 8, 160, 105, kButtonHeight},
    Place{"SpeedButtonProgram", 192, 160, 121, kButtonHeight},
    Place{"Memo1", 0, 192, 313, 121},
    Place{"CheckBox1", 5, 320, 132, kLabelHeight},
    Place{"SpeedButton1", 143, 317, 86, kButtonHeight},
    Place{"BitBtn1", 232, 317, 80, kButtonHeight},
};

inline constexpr int kAttentionClientWidth = 369;
inline constexpr int kAttentionClientHeight = 144;
inline constexpr int kAttentionLabelHeight = 19;  // one line at the dialog's 16-pixel font

// The labels of the warning dialog have no place here: its show handler sets them anew on
// every showing.
inline constexpr std::array kAttentionLayout{
    Place{"BitBtnCancel", 100, 112, 81, 28},
    Place{"BitBtnOK", 188, 112, 81, 28},
};

inline constexpr int kDevProgClientWidth = 528;
inline constexpr int kDevProgClientHeight = 90;

// The place of `name` in `table`, if it is there.
template <std::size_t N>
constexpr std::optional<Place> placeOf(const std::array<Place, N>& table, std::string_view name) {
  for (const Place& place : table) {
    if (place.name == name) return place;
  }
  return std::nullopt;
}

}  // namespace movrand::gui
