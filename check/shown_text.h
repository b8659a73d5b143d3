// Text from outside the program made safe to print: the board's bytes always escaped, the
// system's own text (paths, error messages) with its control characters escaped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The board's bytes as text that reads the same everywhere and that no terminal obeys:
// printable ASCII as itself but the backslash, which is doubled, and every other byte as \xNN
// (upper-case hex). So "K1.07" stays "K1.07" and ESC [ 8 m BEL reads \x1B[8m\x07.
std::string BoardText(std::string_view bytes);

// The system's text for a terminal: UTF-8 as it is, but control characters (C0, DEL and C1)
// and bytes that are not UTF-8 as \xNN. A backslash stays single: Windows paths are full of
// them, and the system's text is not the board's.
std::string TerminalText(std::string_view text);

// The length of the well-formed UTF-8 sequence at text[at], with its code point in `code`; 0
// when the bytes there are none (a stray or missing continuation byte, an overlong form, a
// surrogate, beyond U+10FFFF).
size_t Utf8Sequence(std::string_view text, size_t at, char32_t& code);
