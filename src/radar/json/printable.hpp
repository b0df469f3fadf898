// Printable rendering of strings for error messages, so that a description
// never hides invisible, combining or control characters.
#pragma once

#include <string>
#include <string_view>

namespace radar {

// False for control, format, surrogate, private-use, unassigned and separator
// characters (except U+0020 SPACE), for Grapheme_Extend characters, and for
// values beyond U+10FFFF.
bool is_printable(char32_t c);

// Appends `"..."`: '"' and '\\' backslash-escaped, NUL, tab, CR and LF as
// \0 \t \r \n, every other non-printable character as \u{hex}; the rest is
// copied as UTF-8. Each byte of invalid UTF-8 is written as \u{fffd}.
void append_debug_string(std::string& out, std::string_view utf8);

}  // namespace radar
