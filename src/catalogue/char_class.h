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

// The classes of the ASCII characters, as the table gives them (tested).
struct AsciiClasses {
  std::uint8_t of[128];
  constexpr AsciiClasses() : of{} {
    for (int c = '0'; c <= '9'; ++c) of[c] = kTermChar;
    for (int c = 'a'; c <= 'z'; ++c) of[c] = of[c - 'a' + 'A'] = kTermChar;
    of[static_cast<int>('\t')] = of[static_cast<int>(' ')] = of[0x1F] = kSpace;
    for (int c = '\n'; c <= '\r'; ++c) of[c] = kSpace | kLineBreak;
    for (int c = 0x1C; c <= 0x1E; ++c) of[c] = kSpace | kLineBreak;
  }
};
inline constexpr AsciiClasses kAsciiClasses;

// The classes of code point c (0 past U+10FFFF).
std::uint8_t table_class(char32_t c);
inline std::uint8_t char_class(char32_t c) {
  return c < 0x80 ? kAsciiClasses.of[c] : table_class(c);
}

inline bool is_term_char(char32_t c) { return (char_class(c) & kTermChar) != 0; }

// The Unicode version the table was generated from.
const char* char_class_unicode_version();

}  // namespace tessaloom::catalogue
