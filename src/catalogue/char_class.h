// The character classes of the terms rule, from a table generated at build
// time from the Unicode data of the interpreter the package is built for
// (char_class_table.py): term characters (categories L*, N*, M*),
// whitespace (str.isspace) and line breaks (str.splitlines).
#pragma once

#include <cstdint>

namespace tessaloom::catalogue {

enum CharClass : std::uint8_t {
  kTermChar = 1,
  kSpace = 2,
  kLineBreak = 4,
};

// The classes of code point c (0 past U+10FFFF).
std::uint8_t char_class(char32_t c);

inline bool is_term_char(char32_t c) { return (char_class(c) & kTermChar) != 0; }

// The Unicode version the table was generated from.
const char* char_class_unicode_version();

}  // namespace tessaloom::catalogue
