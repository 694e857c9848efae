// Where every component of the windows stands: one table per window, in client pixels at the
// standard 96 dots per inch, with the windows' fonts and the main window's keyboard order.
//
// Both views (the Qt windows on Linux, the Win32 windows on Windows) place their controls from
// these tables and nowhere else, and their tests check the built controls against the same
// tables. Heights are the standard heights of each kind of control at the window's 15-pixel
// font (drop-down lists and text boxes 23, buttons 25, labels and the check box one text
// line). The captions are the models' own (app/main_form.cpp, app/dialogs.cpp,
// app/terminal.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace movrand {

struct Place {
  std::string_view name;  // the component's name, also the widget's object name
  int x;
  int y;
  int width;
  int height;
};

// The windows' typeface, at a character height in pixels (not points) per window.
inline constexpr const char* kControlFontFamily = "Arial";
inline constexpr int kMainFontPixels = 15;        // main window, every control
inline constexpr int kDialogFontPixels = 16;      // warning dialog (black), notice (bold red)
inline constexpr int kTerminalFontPixels = 15;    // terminal window
inline constexpr int kRadioGroupFontPixels = 12;  // the terminal's "Format" group

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

// The main window's keyboard order; the labels, the picture and the three flat buttons take
// no focus.
inline constexpr std::array<std::string_view, 8> kMainTabOrder{
    "Memo1",        "Edit1",     "PortComboBox", "ProtocolComboBox",
    "BaudComboBox", "CheckBox1", "BitBtn1",      "SpeedButton1",
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

inline constexpr int kTerminalClientWidth = 697;
inline constexpr int kTerminalClientHeight = 297;

inline constexpr std::array kTerminalLayout{
    Place{"Memo1", 0, 0, 697, 265},
    Place{"SpeedButton1", 2, 272, 97, 22},
    Place{"RadioGroup1", 104, 264, 137, 33},
    Place{"Button1", 600, 272, 97, 22},
};

// The place of `name` in `table`, if it is there.
template <std::size_t N>
constexpr std::optional<Place> placeOf(const std::array<Place, N>& table, std::string_view name) {
  for (const Place& place : table) {
    if (place.name == name) return place;
  }
  return std::nullopt;
}

}  // namespace movrand
