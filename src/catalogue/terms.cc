#include "catalogue/terms.h"

#include "catalogue/char_class.h"
#include "common/text.h"

namespace tessaloom::catalogue {

using common::decode_utf8_sequence;
using common::utf8_sequence_width;

bool is_ascii(std::string_view s) {
  unsigned char any = 0;
  for (const char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

namespace detail {

bool term_char_at(const std::uint8_t* s, std::size_t size, std::size_t i, std::size_t& width) {
  if (s[i] < 0x80) {
    width = 1;
    return kAsciiFold.folded[s[i]] != 0;
  }
  const std::size_t w = utf8_sequence_width(s[i]);
  char32_t c;
  if (w == 0 || size - i < w || !decode_utf8_sequence(s + i, w, c)) {
    width = 1;
    return false;
  }
  width = w;
  return is_term_char(c);
}

}  // namespace detail
}  // namespace tessaloom::catalogue
