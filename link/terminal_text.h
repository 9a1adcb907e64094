// Text from outside the program (port and link names, file names, lock-file
// contents, USB strings, the gimbal's bytes) made fit for a terminal line:
// nothing in it can move the cursor, change the title, end the line or turn
// the writing direction, and the layout is measured in the columns a
// terminal gives each character. Standard C++ only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gimbal {

// Control characters as escapes (\n, \t, \r, \e, \xNN; C1 controls and the
// line, paragraph and direction marks as \uXXXX) and bytes that are not
// UTF-8 as \xNN; everything else as it is.
std::string terminalSafe(std::string_view text);

// Columns the UTF-8 text takes: two for wide (CJK, fullwidth, emoji)
// characters, none for combining marks, one for the rest.
std::size_t displayWidth(std::string_view text);

// The longest head of the UTF-8 text that takes at most `columns`, cut
// between characters.
std::string cutToWidth(std::string_view text, std::size_t columns);

}  // namespace gimbal
