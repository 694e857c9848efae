// Text that came from outside (the module's version texts, a station's words, a file or port
// name), made safe to show: shown, never obeyed.
//
// A module may send any bytes. Written as they are, a line feed starts a line the program
// never wrote (a forged ">>FW upgrade is FINISHED"), an escape sequence moves a terminal's
// cursor, and a Unicode format character (a bidirectional override or isolate) turns the
// rest of a line around. Here each such character is written as what it is instead:
//
// - C0 controls (line feed, carriage return and tab among them), DEL, C1 controls and bytes
//   that are not well-formed UTF-8 as \xNN;
// - format characters (bidirectional marks, embeddings, overrides and isolates, zero-width
//   characters, the line and paragraph separators, the byte order mark, tags) as \uXXXX, or
//   \UXXXXXXXX above the first plane.
//
// Everything else, printable ASCII and well-formed UTF-8 letters alike, stays as it is; a
// text that holds nothing of the above comes back unchanged.
#pragma once

#include <string>
#include <string_view>

namespace movrand {

// `text` on one line, with every character above written as what it is.
std::string VisibleText(std::string_view text);

// Whether `code` is a format character that VisibleText writes as \u or \U.
bool IsFormatCharacter(char32_t code);

}  // namespace movrand
